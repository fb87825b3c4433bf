#include "platform/win32/TextConversion.h"
#include "platform/win32/UniqueHandle.h"

#include <gtest/gtest.h>

namespace quorvex::win32 {
namespace {

TEST(Win32Basics, TextRoundTripsThroughUtf16) {
  const std::string text = "Quorvex - Instala\xC3\xA7\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x98\x80";
  const std::wstring wide = Widen(text);
  EXPECT_EQ(wide, L"Quorvex - Instala\u00E7\u00E3o \u20AC \U0001F600");
  EXPECT_EQ(Narrow(wide), text);
  EXPECT_EQ(Widen(""), L"");
}

TEST(Win32Basics, ClosingAHandleKeepsTheLastError) {
  UniqueKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  event.reset();
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(event);
}

TEST(Win32Basics, SystemErrorTextHasNoLineBreak) {
  const std::string text = SystemErrorText(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace quorvex::win32
