// qv-download API_BASE PACKAGE_FILE_NAME OUT_FILE: sends the installer's package request, with
// the installer's own client and transport, to the service at API_BASE.
// Prints "progress TOTAL RECEIVED" for every progress event, writes the returned body to
// OUT_FILE, prints "status CODE" and exits 0. On failure it prints the failure's message and
// exits 1; a usage error exits 2.

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cinttypes>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "download/DownloadClient.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/UniqueHandle.h"
#include "platform/win32/SystemLibrary.h"
#include "platform/win32/WinHttpTransport.h"

namespace {

using quorvex::win32::Narrow;
using quorvex::win32::SystemErrorText;

void WriteBody(const std::wstring& path, const std::vector<std::uint8_t>& body) {
  quorvex::win32::UniqueFile file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw std::runtime_error("Cannot create " + Narrow(path) + ": " + SystemErrorText(::GetLastError()));
  std::size_t done = 0;
  while (done < body.size()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(body.size() - done, 1u << 24));
    DWORD written = 0;
    if (!::WriteFile(file.get(), body.data() + done, want, &written, nullptr) || written == 0)
      throw std::runtime_error("Cannot write " + Narrow(path) + ": " + SystemErrorText(::GetLastError()));
    done += written;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  quorvex::win32::RestrictDllSearchToSystem();
  // Lines end in LF whatever reads them.
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc != 4) {
    std::fputs("usage: qv-download API_BASE PACKAGE_FILE_NAME OUT_FILE\n", stderr);
    return 2;
  }
  try {
    quorvex::win32::WinHttpTransport transport;
    quorvex::DownloadClient client(transport, Narrow(argv[1]));
    client.SetProgressHandler([](std::int64_t total, std::int64_t received, bool&) {
      std::printf("progress %" PRId64 " %" PRId64 "\n", total, received);
    });
    const quorvex::DownloadResult result = client.DownloadPackage(Narrow(argv[2]));
    WriteBody(argv[3], result.body);
    std::printf("status %d\n", result.status);
    return 0;
  } catch (const std::exception& error) {
    std::printf("%s\n", error.what());
    return 1;
  }
}
