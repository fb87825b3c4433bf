#include "platform/win32/SystemLibrary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/win32/TextConversion.h"

namespace quorvex::win32 {
namespace {

using TickFunction = decltype(&::GetTickCount);

// What is there resolves; the first missing function is named with the system's code, and
// nothing after it is resolved; a function the caller may do without is never missing.
TEST(SystemFunctions, ResolveUntilTheFirstMissingFunction) {
  TickFunction tick = nullptr;
  TickFunction absent = nullptr;
  TickFunction after = nullptr;
  TickFunction optional = nullptr;
  SystemFunctions kernel(L"kernel32.dll");
  kernel.Resolve(tick, "GetTickCount").ResolveOptional(optional, "QvNoSuchFunction");
  EXPECT_TRUE(kernel.complete()) << kernel.missing();
  EXPECT_EQ(kernel.error(), 0u);
  ASSERT_NE(tick, nullptr);
  EXPECT_EQ(tick, reinterpret_cast<TickFunction>(
                      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTickCount"))));
  EXPECT_EQ(optional, nullptr);

  kernel.Resolve(absent, "QvNoSuchFunction").Resolve(after, "GetTickCount");
  EXPECT_FALSE(kernel.complete());
  EXPECT_EQ(kernel.missing(), "kernel32.dll has no QvNoSuchFunction");
  EXPECT_EQ(kernel.error(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(absent, nullptr);
  EXPECT_EQ(after, nullptr);

  SystemFunctions none(nullptr, L"comctl32.dll");
  EXPECT_EQ(none.missing(), "comctl32.dll could not be loaded");
  none.ResolveOptional(optional, "GetTickCount");
  EXPECT_EQ(optional, nullptr);
}

// A library that lies beside the program, as a planted one would in a downloads folder, is never
// loaded when it is asked for by name: only the system folder is searched. The planted copy
// (tests/e2e/planted) notes every load in "<its path>.loaded"; loaded by its full path it does,
// which shows the copy would run if it were found.
TEST(SystemFunctions, NeverLoadALibraryBesideTheProgram) {
  wchar_t self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  ASSERT_TRUE(length > 0 && length < MAX_PATH);
  std::wstring beside(self, length);
  beside = beside.substr(0, beside.find_last_of(L"\\/") + 1) + L"qv-planted-beside.dll";
  std::wstring planted = L"Z:" + Widen(QUORVEX_PLANTED_DLL);
  std::replace(planted.begin(), planted.end(), L'/', L'\\');
  ASSERT_TRUE(::CopyFileW(planted.c_str(), beside.c_str(), FALSE)) << Narrow(planted);
  const std::wstring marker = beside + L".loaded";
  ::DeleteFileW(marker.c_str());

  TickFunction function = nullptr;
  SystemFunctions library(L"qv-planted-beside.dll");
  library.Resolve(function, "DllMain");
  EXPECT_EQ(library.module(), nullptr);
  EXPECT_EQ(library.missing(), "qv-planted-beside.dll could not be loaded from the system folder");
  EXPECT_EQ(library.error(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(::GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES);

  const HMODULE direct = ::LoadLibraryExW(beside.c_str(), nullptr, 0);
  ASSERT_NE(direct, nullptr) << "the planted copy does not load even by its path";
  ::FreeLibrary(direct);
  EXPECT_NE(::GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES);
  ::DeleteFileW(marker.c_str());
  ::DeleteFileW(beside.c_str());
}

}  // namespace
}  // namespace quorvex::win32
