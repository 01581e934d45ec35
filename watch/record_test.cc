// Stored records are read by a fast reader for plain ones and the general
// JSON parser for the rest: both must give the same device, or both refuse.
#include "watch/record.h"

#include <gtest/gtest.h>

#include "watch/record_fast.h"

namespace ps::watch {
namespace {

constexpr char kId[] = "02:00:5e:00:00:01";

// `record` with a field no reader knows in front: the fast one declines it.
std::string ForGeneral(const std::string& record) { return "{\"later\":[1]," + record.substr(1); }

TEST(WatchRecordTest, FastAndGeneralReadersAgree) {
  const std::string tail =
      R"("last_seen":2,"names":[["dns","nas"]],"online":true,"randomized":true,"vendor":"V"})";
  const std::string head = R"({"addresses":[["10.0.0.1",3],["fe80::1",4]],"first_seen":1,)";
  const struct {
    std::string id, record;
    bool fast, ok;
  } cases[] = {
      {kId, head + R"("mac":"02:00:5e:00:00:01",)" + tail, true, true},  // as main writes it
      {kId, head + R"("mac":"02:00:5e:00:00:01","missed":2,)" + tail, true, true},
      {kId, head + R"("mac":"02:00:5e:00:00:01","missed":-1,)" + tail, false, false},
      {kId, head + R"("mac":"02:00:5E:00:00:01",)" + tail, true, true},  // either case
      {"ip:10.0.0.1", head + tail, true, true},
      {"ip:10.0.0.2", head + tail, true, false},
      {kId,
       R"({ "addresses" : [ ], "first_seen" : 1 , "last_seen":2,"names":[],"online":false,)"
       R"("randomized":false,"vendor":"","mac":"02:00:5e:00:00:01" })",
       true, true},
      {kId, head + R"("mac":"02:00:5e:00:00:01","first_seen":5,)" + tail, false, true},  // twice
      {kId, R"({"addresses":[],"first_seen":01,"mac":"02:00:5e:00:00:01",)" + tail, false, false},
      {kId, R"({"addresses":[],"first_seen":1e3,"mac":"02:00:5e:00:00:01",)" + tail, false, true},
      {kId,
       R"({"addresses":[],"first_seen":1,"mac":"02:00:5e:00:00:01",)" +
           std::string(R"("last_seen":2,"names":[["dns","n\u0061s\"\\"]],"online":true,)") +
           R"("randomized":true,"vendor":"V"})",
       false, true},
      {kId,
       R"({"addresses":[],"first_seen":1,"mac":"02:00:5e:00:00:01",)" +
           std::string(R"("last_seen":2,"names":[["dns","caf)") + "\xC3\xA9" +
           R"("]],"online":true,"randomized":true,"vendor":"V"})",
       false, true},
      {kId, head + R"("mac":"02:00:5e:00:00:01",)" + tail.substr(0, tail.size() - 1), false, false},
      {kId, head + R"("mac":"02:00:5e:00:00:01",)" + tail + "x", false, false},
      {kId, R"({"addresses":[],"first_seen":true,"mac":"02:00:5e:00:00:01",)" + tail, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(internal::ReadPlainRecord(c.record).has_value(), c.fast) << c.record;
    const Result<Device> fast_or_not = DecodeDevice(c.id, c.record);
    const Result<Device> general = DecodeDevice(c.id, ForGeneral(c.record));
    EXPECT_EQ(fast_or_not.ok(), c.ok) << c.record;
    if (!c.record.ends_with("x")) {
      EXPECT_EQ(general.ok(), c.ok) << c.record;
    }
    if (fast_or_not.ok() && general.ok()) {
      EXPECT_EQ(fast_or_not.value(), general.value()) << c.record;
    }
  }
  // What is written is read back the fast way.
  Device d = DecodeDevice(kId, cases[1].record).value();
  EXPECT_EQ(d.missed, 2);
  EXPECT_TRUE(internal::ReadPlainRecord(EncodeDevice(d)).has_value());
  EXPECT_EQ(DecodeDevice(kId, EncodeDevice(d)).value(), d);
}

}  // namespace
}  // namespace ps::watch
