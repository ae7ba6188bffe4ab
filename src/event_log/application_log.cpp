#include "application_log.h"

#include <cstddef>
#include <iterator>

// Chosen by the build: the platform's own headers on Windows, the simulated store's
// declarations of the same functions everywhere else.
#include "power_platform.h"

namespace {

std::u16string_view originWord;
std::u16string_view originProgram;
// Registered at the first entry and kept until the process ends, which closes it: a command
// that writes no entry never asks the platform's log service for anything.
HANDLE log = nullptr;

// Report lines are shorter; a program path is cut rather than dropped.
constexpr std::size_t kLongestText = 300;
constexpr std::size_t kLongestOrigin = 300;

// Event Viewer reads "%%" and a number in an entry's strings as a reference to another
// message, and shows that message instead: a word joiner (U+2060, which shows as nothing)
// after each "%" that a "%" follows keeps a program path such as C:\100%%1\setup.exe as typed.
constexpr WCHAR kWordJoiner = 0x2060;

// Copies what fits of `text` to `out`, leaving room for the terminating zero at `end`.
template <typename Text>
WCHAR* Append(WCHAR* out, const WCHAR* end, Text text) {
  WCHAR previous = 0;
  for (auto unit : text) {
    const auto wide = static_cast<WCHAR>(static_cast<char16_t>(unit));
    if (previous == L'%' && wide == L'%') {
      if (out + 1 >= end) break;
      *out++ = kWordJoiner;
    }
    if (out + 1 >= end) break;
    *out++ = wide;
    previous = wide;
  }
  *out = 0;
  return out;
}

WORD TypeOf(EventKind kind) {
  switch (kind) {
    case EventKind::Failure:
      return EVENTLOG_ERROR_TYPE;
    case EventKind::Warning:
      return EVENTLOG_WARNING_TYPE;
    default:
      return EVENTLOG_INFORMATION_TYPE;
  }
}

}  // namespace

void SetEventOrigin(std::u16string_view word, std::u16string_view program) {
  originWord = word;
  originProgram = program;
}

void WriteEvent(EventKind kind, std::string_view text) {
  WCHAR line[kLongestText + 1];
  Append(line, std::end(line), text);
  WCHAR origin[kLongestOrigin + 1];
  // Its first word is the source's name.
  WCHAR* end = Append(origin, std::end(origin), std::u16string_view(u"buttonguard"));
  if (log == nullptr) log = RegisterEventSourceW(nullptr, origin);
  if (log == nullptr) return;
  end = Append(end, std::end(origin), std::u16string_view(u" "));
  end = Append(end, std::end(origin), originWord);
  if (!originProgram.empty()) {
    end = Append(end, std::end(origin), std::u16string_view(u" "));
    Append(end, std::end(origin), originProgram);
  }
  const WCHAR* strings[] = {line, origin};
  static_cast<void>(ReportEventW(log, TypeOf(kind), 0, static_cast<DWORD>(kind), nullptr,
                                 static_cast<WORD>(std::size(strings)), 0, strings, nullptr));
}
