#include "scan/untrapped.h"

#include <exception>
#include <new>
#include <string>

#include "core/error.h"

namespace ps::scan {

std::u16string UntrappedErrorText(std::int32_t number, std::u16string_view description) {
  std::u16string text = u"Run-time error '";
  text += FromUtf8(std::to_string(number));
  text += u"':\n\n";
  text += description;
  return text;
}

ErrorReport CurrentExceptionReport() {
  try {
    throw;
  } catch (const Error& e) {
    return {e.Number(), std::u16string(e.Description())};
  } catch (const std::bad_alloc&) {
    return {kErrOutOfMemory, u"Out of memory"};
  } catch (const std::exception& e) {
    return {kErrInternal, u"Internal error: " + FromUtf8(e.what())};
  } catch (...) {
    return {kErrInternal, u"Internal error"};
  }
}

}  // namespace ps::scan
