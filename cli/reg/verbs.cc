#include "cli/reg/verbs.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>

#include "core/codepage.h"
#include "core/error.h"
#include "platform/registry/export_file.h"
#include "registry/reg_file.h"
#include "registry/reg_io.h"
#include "registry/reg_keys.h"

namespace ps::regtool {
namespace {

using namespace platform;

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  }
  return s;
}

// A switch: '-' and a name, or '/' and one of the switch names (so that an
// absolute file name is not taken for one).
bool IsSwitch(const std::string& word) {
  if (word.size() < 2) return false;
  if (word[0] == '-') return true;
  static constexpr const char* kNames[] = {"v", "ve", "va", "f", "y", "t", "d", "s"};
  const std::string name = Lower(word.substr(1));
  return word[0] == '/' && std::any_of(std::begin(kNames), std::end(kNames),
                                       [&](const char* n) { return name == n; });
}

std::string Utf8(std::string_view code_page) { return ToUtf8(FromCodePage(code_page)); }

// The stored form of a name typed as `typed`, into *out; why it is refused
// ("" if it is not): a character the code page lacks would make it stand for
// another name.
std::string StoredName(std::u16string_view name, const char* what, const std::string& typed,
                       std::string* out) {
  bool exact = false;
  *out = CharactersToCodePage(name, &exact);
  return exact ? ""
               : std::string("The ") + what + " '" + typed +
                     "' holds characters outside the registry's code page, Windows-1252.";
}

// A key as typed: root and the path below it (code page).
struct KeyName {
  HKEY root = 0;
  std::string path;
  std::string Display() const { return reg::KeyDisplayName(root, path); }
  std::string Child(const std::string& name) const {
    return path.empty() ? name : path + "\\" + name;
  }
};

class Verb {
 public:
  Verb(const Args& args, RegistryService& service, std::ostream& out, std::ostream& err,
       std::istream& in)
      : args_(args), service_(service), out_(out), err_(err), in_(in) {}

  int Run() {
    if (args_.verb == "import") return Import();
    std::string problem;
    if (args_.value)
      problem = StoredName(FromUtf8(*args_.value), "value name", *args_.value, &value_name_);
    if (problem.empty()) problem = ParseKey(args_.key, &key_);
    if (!problem.empty()) return Error(problem);
    if (args_.verb == "query") return Query();
    if (args_.verb == "add") return Add();
    if (args_.verb == "delete") return Delete();
    return Export();
  }

 private:
  // The key as typed: "", or why it is refused.
  static std::string ParseKey(const std::string& text, KeyName* key) {
    std::u16string name = FromUtf8(text);
    while (!name.empty() && name.back() == u'\\') name.pop_back();
    const std::size_t slash = name.find(u'\\');
    key->root = reg::RootFromName(std::u16string_view(name).substr(0, slash));
    const std::u16string path = slash == std::u16string::npos ? u"" : name.substr(slash + 1);
    if ((key->root != HKEY_CURRENT_USER && key->root != HKEY_LOCAL_MACHINE) ||
        (!path.empty() && path[0] == u'\\')) {
      return "Invalid key name '" + text +
             "'. Use HKCU\\... or HKLM\\... (or the full names HKEY_CURRENT_USER, "
             "HKEY_LOCAL_MACHINE).";
    }
    return StoredName(path, "key name", text, &key->path);
  }

  int Error(const std::string& text) {
    err_ << "ERROR: " << text << "\n";
    return 1;
  }
  int Error(LONG code) { return Error(reg::ErrorText(code)); }
  int Done() {
    out_ << "The operation completed successfully.\n";
    return 0;
  }

  // The registry tool's Yes/No question; true for yes.
  bool Confirm(const std::string& question) {
    out_ << question << "(Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(in_, answer)) answer.clear();
    if (!answer.empty() && (answer[0] == 'y' || answer[0] == 'Y')) return true;
    if (answer.empty()) out_ << "\n";
    return false;
  }
  int Cancelled() { return Error("The operation was cancelled; nothing was changed."); }

  // The value name /v or /ve picks, in the code page ("" for the default).
  const std::string& ValueName() const { return value_name_; }
  static std::string Shown(const std::string& name) {
    return name.empty() ? "(Default)" : Utf8(name);
  }

  void PrintValue(const std::string& name, DWORD type, const std::string& data) {
    out_ << "    " << Shown(name) << "    " << TypeName(type) << "    " << FormatData(type, data)
         << "\n";
  }

  // The key's header and its values, as query lists them (with /v only the
  // values of that name, and the header only when there is one).
  LONG PrintValues(const KeyName& key, int* matches) {
    reg::KeyHandle h(service_);
    if (LONG rc = h.Open(key.root, key.path, KEY_READ); rc != ERROR_SUCCESS) return rc;
    return PrintValues(h.get(), key, matches);
  }
  LONG PrintValues(HKEY open, const KeyName& key, int* matches) {
    reg::RegKeyOp values;
    if (LONG rc = reg::ReadValues(service_, open, &values); rc != ERROR_SUCCESS) return rc;
    bool header = false;
    for (const reg::RegValueOp& v : values.values) {
      if (args_.value && Lower(v.name) != Lower(ValueName())) continue;
      if (!header) out_ << "\n" << key.Display() << "\n";
      header = true;
      PrintValue(v.name, v.type, v.data);
      ++*matches;
    }
    if (!header && !args_.value) out_ << "\n" << key.Display() << "\n";
    return ERROR_SUCCESS;
  }

  LONG Subkeys(const KeyName& key, std::vector<std::string>* names) {
    reg::KeyHandle h(service_);
    if (LONG rc = h.Open(key.root, key.path, KEY_READ); rc != ERROR_SUCCESS) return rc;
    return reg::SubkeyNames(service_, h.get(), names);
  }

  int Query() {
    if (args_.default_value && !args_.recurse) {
      reg::KeyHandle h(service_);
      if (LONG rc = h.Open(key_.root, key_.path, KEY_READ); rc != ERROR_SUCCESS) return Error(rc);
      DWORD type = REG_SZ;
      std::string data;
      const LONG rc = reg::QueryValue(service_, h.get(), "", &type, &data);
      out_ << "\n" << key_.Display() << "\n";
      if (rc == ERROR_FILE_NOT_FOUND) {
        out_ << "    (Default)    REG_SZ    (value not set)\n\n";
        return 0;
      }
      if (rc != ERROR_SUCCESS) return Error(rc);
      PrintValue("", type, data);
      out_ << "\n";
      return 0;
    }
    if (args_.value || args_.default_value) {
      if (!args_.recurse) {
        int matches = 0;
        if (LONG rc = PrintValues(key_, &matches); rc != ERROR_SUCCESS) return Error(rc);
        if (matches == 0) return Error(ERROR_FILE_NOT_FOUND);
        out_ << "\n";
        return 0;
      }
      int matches = 0;
      if (LONG rc = Search(key_, &matches); rc != ERROR_SUCCESS) return Error(rc);
      out_ << "\nEnd of search: " << matches << " match(es) found.\n";
      return matches > 0 ? 0 : 1;
    }
    int matches = 0;
    if (args_.recurse) {
      if (LONG rc = Search(key_, &matches); rc != ERROR_SUCCESS) return Error(rc);
      out_ << "\n";
      return 0;
    }
    if (LONG rc = PrintValues(key_, &matches); rc != ERROR_SUCCESS) return Error(rc);
    std::vector<std::string> subkeys;
    if (LONG rc = Subkeys(key_, &subkeys); rc != ERROR_SUCCESS) return Error(rc);
    out_ << "\n";
    for (const std::string& s : subkeys)
      out_ << KeyName{key_.root, key_.Child(s)}.Display() << "\n";
    return 0;
  }

  // query /s: each key with its values, then its subkeys, depth first.
  LONG Search(const KeyName& key, int* matches) {
    struct Printer final : reg::TreeVisitor {
      Verb* verb;
      HKEY root;
      int* matches;
      LONG Enter(HKEY open, const std::string& path) override {
        return verb->PrintValues(open, {root, path}, matches);
      }
    } printer;
    printer.verb = this;
    printer.root = key.root;
    printer.matches = matches;
    return reg::WalkTree(service_, key.root, key.path, KEY_READ, printer);
  }

  int Add() {
    const bool set_value = args_.value || args_.default_value || args_.data || args_.type;
    DWORD type = REG_SZ;
    std::string bytes, problem;
    // Bad data is refused before anything, the key included, is created.
    if (set_value && !EncodeData(args_.type.value_or("REG_SZ"), args_.data.value_or(""),
                                 args_.separator, &type, &bytes, &problem)) {
      return Error(problem);
    }
    reg::KeyHandle h(service_);
    if (LONG rc = h.Create(key_.root, key_.path, KEY_READ | KEY_WRITE); rc != ERROR_SUCCESS) {
      return Error(rc);
    }
    if (!set_value) return Done();
    const std::string name = ValueName();
    DWORD size = 0;
    const LONG exists =
        service_.RegQueryValueExA(h.get(), name.c_str(), nullptr, nullptr, nullptr, &size);
    if (exists == ERROR_SUCCESS && !args_.force &&
        !Confirm("Value " + Shown(name) + " exists, overwrite")) {
      return Cancelled();
    }
    const LONG rc = service_.RegSetValueExA(h.get(), name.c_str(), 0, type,
                                            reinterpret_cast<const unsigned char*>(bytes.data()),
                                            static_cast<DWORD>(bytes.size()));
    return rc == ERROR_SUCCESS ? Done() : Error(rc);
  }

  int Delete() {
    reg::KeyHandle h(service_);
    if (LONG rc = h.Open(key_.root, key_.path, KEY_READ | KEY_SET_VALUE); rc != ERROR_SUCCESS) {
      return Error(rc);
    }
    if (args_.value || args_.default_value) {
      const std::string name = ValueName();
      DWORD size = 0;
      LONG rc = service_.RegQueryValueExA(h.get(), name.c_str(), nullptr, nullptr, nullptr, &size);
      if (rc != ERROR_SUCCESS) return Error(rc);
      if (!args_.force && !Confirm("Delete the registry value " + Shown(name) + " "))
        return Cancelled();
      rc = service_.RegDeleteValueA(h.get(), name.c_str());
      return rc == ERROR_SUCCESS ? Done() : Error(rc);
    }
    if (args_.all_values) {
      if (!args_.force &&
          !Confirm("Delete all values under the registry key " + key_.Display() + " ")) {
        return Cancelled();
      }
      reg::RegKeyOp values;
      if (LONG rc = reg::ReadValues(service_, h.get(), &values); rc != ERROR_SUCCESS) {
        return Error(rc);
      }
      for (const reg::RegValueOp& v : values.values) {
        if (LONG rc = service_.RegDeleteValueA(h.get(), v.name.c_str()); rc != ERROR_SUCCESS) {
          return Error(rc);
        }
      }
      return Done();
    }
    if (key_.path.empty()) return Error("A root key cannot be deleted.");
    if (!args_.force && !Confirm("Permanently delete the registry key " + key_.Display() + " ")) {
      return Cancelled();
    }
    const LONG rc = reg::DeleteTree(service_, key_.root, key_.path);
    return rc == ERROR_SUCCESS ? Done() : Error(rc);
  }

  int Export() {
    std::string bytes;
    reg::RegError problem;
    if (!reg::ExportTree(service_, key_.root, key_.path, &bytes, &problem)) {
      return Error(problem.message);
    }
    if (PathExists(args_.file) && !args_.overwrite &&
        !Confirm("File " + args_.file + " already exists. Overwrite ")) {
      return Cancelled();
    }
    std::string why;
    if (!WriteWholeFile(args_.file, bytes, &why)) {
      return Error("Cannot write " + args_.file + ": " + why + ".");
    }
    return Done();
  }

  int Import() {
    std::ifstream file(args_.file, std::ios::binary);
    if (!file) return Error("Cannot open " + args_.file + ".");
    reg::RegError problem;
    std::string note;
    const bool imported = reg::ImportRegStream(service_, file, &problem, &note);
    if (!note.empty()) err_ << "NOTE: " << args_.file << ": " << note << "\n";
    if (!imported) return Error(args_.file + ": " + problem.message);
    return Done();
  }

  const Args& args_;
  RegistryService& service_;
  std::ostream& out_;
  std::ostream& err_;
  std::istream& in_;
  KeyName key_;
  std::string value_name_;
};

}  // namespace

namespace {

// Reads the switch words[*i] (and its argument, moving *i past it).
bool ParseSwitch(const std::vector<std::string>& words, std::size_t* i, Args* args,
                 std::string* error) {
  const std::string& word = words[*i];
  const std::string sw = Lower(word.substr(1));
  auto argument = [&](std::optional<std::string>* into) {
    if (*i + 1 >= words.size()) return false;
    *into = words[++*i];
    return true;
  };
  bool ok = true;
  if (sw == "v")
    ok = argument(&args->value);
  else if (sw == "ve")
    args->default_value = true;
  else if (sw == "va")
    args->all_values = true;
  else if (sw == "f")
    args->force = true;
  else if (sw == "y")
    args->overwrite = true;
  else if (sw == "t")
    ok = argument(&args->type);
  else if (sw == "d")
    ok = argument(&args->data);
  else if (sw == "s" && args->verb == "add") {
    std::optional<std::string> sep;
    ok = argument(&sep);
    if (ok) args->separator = *sep;
  } else if (sw == "s")
    args->recurse = true;
  else {
    *error = "Invalid syntax: unknown switch '" + word + "'.";
    return false;
  }
  if (!ok) *error = "Invalid syntax: '" + word + "' needs an argument.";
  return ok;
}

// Places the verb's operands (KEY, FILE or KEY FILE) and checks the switches
// that exclude each other.
bool PlaceOperands(const std::string& typed_verb, const std::vector<std::string>& positional,
                   Args* args, std::string* error) {
  const std::string& verb = args->verb;
  if (verb != "query" && verb != "add" && verb != "delete" && verb != "export" &&
      verb != "import") {
    *error = "Invalid syntax: unknown verb '" + typed_verb + "'.";
    return false;
  }
  const std::size_t wanted = verb == "export" ? 2 : 1;
  if (positional.size() != wanted) {
    *error = "Invalid syntax: " + verb + " takes " +
             (verb == "import" ? "FILE" : verb == "export" ? "KEY FILE" : "KEY") + ".";
    return false;
  }
  (verb == "import" ? args->file : args->key) = positional[0];
  if (verb == "export") args->file = positional[1];
  const int picks = (args->value ? 1 : 0) + args->default_value + args->all_values;
  if (picks > 1 || (args->all_values && verb != "delete")) {
    *error = "Invalid syntax: give at most one of /v, /ve" +
             std::string(verb == "delete" ? ", /va." : ".");
    return false;
  }
  return true;
}

}  // namespace

bool ParseArgs(const std::vector<std::string>& words, Args* args, std::string* error) {
  if (words.empty()) {
    *error = "Invalid syntax: no verb given.";
    return false;
  }
  args->verb = Lower(words[0]);
  std::vector<std::string> positional;
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (!IsSwitch(words[i])) {
      positional.push_back(words[i]);
    } else if (!ParseSwitch(words, &i, args, error)) {
      return false;
    }
  }
  return PlaceOperands(words[0], positional, args, error);
}

int RunVerb(const Args& args, RegistryService& service, std::ostream& out, std::ostream& err,
            std::istream& in) {
  return Verb(args, service, out, err, in).Run();
}

}  // namespace ps::regtool
