// The yardstick for qv-download: the least a program can do to fetch one body over WinHTTP
// into memory and write it to a file. No proxy lookup, no checks beyond the API results.
//   winhttp-read-loop URL OUT_FILE "Name: value"...
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "winhttp-read-loop: %s failed (%lu)\n", what, ::GetLastError());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: winhttp-read-loop URL OUT_FILE [HEADER...]\n", stderr);
    return 2;
  }
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(argv[1], 0, 0, &parts)) return Fail("WinHttpCrackUrl");
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);

  HINTERNET session = ::WinHttpOpen(L"read-loop", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
  if (!session) return Fail("WinHttpOpen");
  HINTERNET connection = ::WinHttpConnect(session, host.c_str(), parts.nPort, 0);
  if (!connection) return Fail("WinHttpConnect");
  HINTERNET request = ::WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, nullptr, nullptr,
                                           parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
  if (!request) return Fail("WinHttpOpenRequest");
  for (int i = 3; i < argc; ++i)
    if (!::WinHttpAddRequestHeaders(request, argv[i], static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD))
      return Fail("WinHttpAddRequestHeaders");
  if (!::WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0)) return Fail("WinHttpSendRequest");
  if (!::WinHttpReceiveResponse(request, nullptr)) return Fail("WinHttpReceiveResponse");

  wchar_t length[32] = L"";
  DWORD size = sizeof length;
  std::vector<unsigned char> body;
  if (::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, nullptr, length, &size, nullptr))
    body.reserve(static_cast<std::size_t>(std::wcstoull(length, nullptr, 10)));
  for (;;) {
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(request, &available)) return Fail("WinHttpQueryDataAvailable");
    if (available == 0) break;
    const std::size_t start = body.size();
    body.resize(start + available);
    DWORD read = 0;
    if (!::WinHttpReadData(request, body.data() + start, available, &read)) return Fail("WinHttpReadData");
    body.resize(start + read);
    if (read == 0) break;
  }
  ::WinHttpCloseHandle(request);
  ::WinHttpCloseHandle(connection);
  ::WinHttpCloseHandle(session);

  HANDLE file = ::CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail("CreateFileW");
  std::size_t done = 0;
  while (done < body.size()) {
    DWORD written = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(body.size() - done, 1u << 24));
    if (!::WriteFile(file, body.data() + done, want, &written, nullptr) || written == 0) return Fail("WriteFile");
    done += written;
  }
  ::CloseHandle(file);
  std::printf("received %zu\n", body.size());
  return 0;
}
