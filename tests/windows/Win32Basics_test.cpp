#include "platform/win32/ExtendedPath.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/UniqueHandle.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace quorvex::win32 {
namespace {

TEST(Win32Basics, TextRoundTripsThroughUtf16) {
  const std::string text = "Quorvex - Instala\xC3\xA7\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x98\x80";
  const std::wstring wide = Widen(text);
  EXPECT_EQ(wide, L"Quorvex - Instala\u00E7\u00E3o \u20AC \U0001F600");
  EXPECT_EQ(Narrow(wide), text);
  EXPECT_EQ(Widen(""), L"");
}

TEST(Win32Basics, PathsReachTheSystemInTheirExtendedForm) {
  wchar_t current[MAX_PATH];
  ASSERT_GT(::GetCurrentDirectoryW(MAX_PATH, current), 0u);
  std::wstring here = current;
  if (here.back() != L'\\') here += L'\\';
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"C:\\Quorvex\\app\\Quorvex.exe", L"\\\\?\\C:\\Quorvex\\app\\Quorvex.exe"},
      {L"C:\\", L"\\\\?\\C:\\"},
      {L"\\\\server\\share\\Quorvex", L"\\\\?\\UNC\\server\\share\\Quorvex"},
      {L"\\\\?\\C:\\already", L"\\\\?\\C:\\already"},
      // The system resolves nothing in an extended path: slashes and dot parts first.
      {L"C:/Quorvex/./old/../app", L"\\\\?\\C:\\Quorvex\\app"},
      {L"relative\\name.txt", L"\\\\?\\" + here + L"relative\\name.txt"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(ExtendedPath(path), expected) << Narrow(path);
}

// A handle kind whose closing fails and sets its own error, as CloseHandle can.
struct FailingCloseTraits {
  using Pointer = int;
  static inline int closed = 0;
  static Pointer Invalid() noexcept { return 0; }
  static void Close(Pointer) noexcept {
    ++closed;
    ::SetLastError(ERROR_INVALID_HANDLE);
  }
};

TEST(Win32Basics, ClosingAHandleKeepsTheLastError) {
  UniqueHandle<FailingCloseTraits> handle(7);
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  handle.reset();
  EXPECT_EQ(FailingCloseTraits::closed, 1);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(handle);
  {
    UniqueHandle<FailingCloseTraits> scoped(8);
    ::SetLastError(ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(FailingCloseTraits::closed, 2);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(Win32Basics, SystemErrorTextHasNoLineBreak) {
  const std::string text = SystemErrorText(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace quorvex::win32
