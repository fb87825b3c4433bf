// qv-probe: looks at and drives the installer window from another process in the same Wine
// session, the way a person would: find the window, read its controls, press buttons, answer
// message boxes. It also reads what the run leaves on drive C (file times and attributes,
// shortcut targets) with the system's own functions. One command per invocation; output is
// UTF-8 "key=value" lines on stdout; the exit code is 0 on success, 1 when the awaited state
// never came, 2 on a usage error.
//
//   qv-probe wait-window TIMEOUT_MS         wait for the installer window to show and answer, print its state
//   qv-probe state                          caption, client size, frame, every control
//   qv-probe click TEXT                     press the installer's button captioned TEXT
//   qv-probe close                          the title bar's close button
//   qv-probe wait-dialog CAPTION TIMEOUT_MS wait for a message box, print its text and buttons
//   qv-probe no-dialog CAPTION WAIT_MS      succeed when no such message box shows up in time
//   qv-probe answer-dialog CAPTION TEXT     press a message box's button
//   qv-probe sample-progress MS INTERVAL_MS [STARTED]  the bar's position over time ("busy" = not
//                                           answering); STARTED is a file made after the first sample
//   qv-probe wait-gone TIMEOUT_MS           wait until the installer's process has ended
//   qv-probe kill                           end the installer's process (cleanup after a failure)
//   qv-probe file PATH                      size, attributes, local write and creation time
//   qv-probe link PATH                      a shortcut's stored target
//   qv-probe make-link PATH TARGET          write a shortcut (an earlier installation's)
//   qv-probe folder CSIDL                   a special folder's path
//   qv-probe temp                           the user's temporary folder (GetTempPathW, as the installer asks)
//   qv-probe trust CERT.der                 add a certificate to the current user's Root store
//   qv-probe accessible                     what a screen reader reads (oleacc): the window, every control
//   qv-probe sample-accessible MS INTERVAL_MS [STARTED]  the bar's role and value as a screen reader
//                                           reads them over time
//   qv-probe colours                        the system colours the window uses in high contrast
//   qv-probe set-colours NAME=RRGGBB ...    sets them (SetSysColors; kept in the prefix)
//   qv-probe pixel X Y                      the colour shown at a point of the installer's client area

#include <windows.h>
#include <commctrl.h>
#include <oleacc.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win32/ComPtr.h"
#include "platform/win32/TextConversion.h"
#include "platform/win32/UniqueHandle.h"

namespace {

using quorvex::win32::ComPtr;
using quorvex::win32::Narrow;
using quorvex::win32::UniqueFile;
using quorvex::win32::UniqueKernelHandle;

constexpr const wchar_t* kInstallerClass = L"TFrmQuorvexInstall";

void Print(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string Text(HWND hwnd) {
  // WM_GETTEXT with a time-out: a window whose thread is busy must not hang the probe.
  wchar_t buffer[512] = {};
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(hwnd, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 2000,
                             &result)) {
    return "<busy>";
  }
  return Narrow(buffer);
}

// Control characters as escapes, so a message's line breaks stay visible on one line.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string ClassOf(HWND hwnd) {
  wchar_t name[128] = {};
  ::GetClassNameW(hwnd, name, 128);
  return Narrow(name);
}

HWND FindInstaller() { return ::FindWindowW(kInstallerClass, nullptr); }

HWND WaitFor(HWND (*find)(const wchar_t*), const wchar_t* arg, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    HWND found = find(arg);
    if (found) return found;
    if (::GetTickCount64() >= deadline) return nullptr;
    ::Sleep(50);
  }
}

HWND FindInstallerBy(const wchar_t*) {
  HWND hwnd = FindInstaller();
  return hwnd && ::IsWindowVisible(hwnd) ? hwnd : nullptr;
}

struct DialogSearch {
  const wchar_t* caption;
  HWND found;
};

BOOL CALLBACK MatchDialog(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<DialogSearch*>(param);
  wchar_t title[256] = {};
  ::GetWindowTextW(hwnd, title, 256);
  if (ClassOf(hwnd) == "#32770" && std::wcscmp(title, search->caption) == 0 && ::IsWindowVisible(hwnd)) {
    search->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND FindDialog(const wchar_t* caption) {
  DialogSearch search{caption, nullptr};
  ::EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
  return TRUE;
}

std::vector<HWND> Descendants(HWND parent) {
  std::vector<HWND> all;
  ::EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&all));
  return all;
}

// A button's caption as shown: without the "&" that marks its access key.
std::string Shown(const std::string& caption) {
  std::string shown;
  for (char c : caption)
    if (c != '&') shown += c;
  return shown;
}

HWND FindButton(HWND parent, const std::string& text) {
  for (HWND child : Descendants(parent))
    if (ClassOf(child) == "Button" && Shown(Text(child)) == text) return child;
  return nullptr;
}

std::string ProgressPosition(HWND bar, DWORD timeoutMs) {
  DWORD_PTR position = 0;
  if (!::SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, timeoutMs, &position)) return "busy";
  return std::to_string(static_cast<int>(position));
}

HWND FindProgressBar(HWND installer) {
  for (HWND child : Descendants(installer))
    if (ClassOf(child) == PROGRESS_CLASSA) return child;
  return nullptr;
}

void PrintState(HWND installer) {
  RECT client{};
  ::GetClientRect(installer, &client);
  const LONG style = ::GetWindowLongW(installer, GWL_STYLE);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(installer, &pid);
  Print("pid=" + std::to_string(pid));
  Print("caption=" + Text(installer));
  Print("client=" + std::to_string(client.right - client.left) + "x" + std::to_string(client.bottom - client.top));
  RECT window{};
  ::GetWindowRect(installer, &window);
  Print("window=" + std::to_string(window.left) + "," + std::to_string(window.top) + "," +
        std::to_string(window.right - window.left) + "," + std::to_string(window.bottom - window.top));
  Print("virtual-screen=" + std::to_string(::GetSystemMetrics(SM_XVIRTUALSCREEN)) + "," +
        std::to_string(::GetSystemMetrics(SM_YVIRTUALSCREEN)) + "," +
        std::to_string(::GetSystemMetrics(SM_CXVIRTUALSCREEN)) + "," +
        std::to_string(::GetSystemMetrics(SM_CYVIRTUALSCREEN)));
  Print(std::string("frame sysmenu=") + ((style & WS_SYSMENU) ? "1" : "0") +
        " minimize=" + ((style & WS_MINIMIZEBOX) ? "1" : "0") + " maximize=" + ((style & WS_MAXIMIZEBOX) ? "1" : "0") +
        " sizing=" + ((style & WS_THICKFRAME) ? "1" : "0"));
  for (HWND child : Descendants(installer)) {
    RECT rect{};
    ::GetWindowRect(child, &rect);
    ::MapWindowPoints(nullptr, installer, reinterpret_cast<POINT*>(&rect), 2);
    std::string line = "control class=" + ClassOf(child) + " id=" + std::to_string(::GetDlgCtrlID(child)) +
                        " visible=" + (::IsWindowVisible(child) ? "1" : "0") +
                        " enabled=" + (::IsWindowEnabled(child) ? "1" : "0") + " rect=" + std::to_string(rect.left) +
                        "," + std::to_string(rect.top) + "," + std::to_string(rect.right - rect.left) + "," +
                        std::to_string(rect.bottom - rect.top);
    if (ClassOf(child) == PROGRESS_CLASSA) line += " pos=" + ProgressPosition(child, 2000);
    Print(line + " text=" + Escaped(Text(child)));
  }
}

int WaitGone(DWORD timeoutMs) {
  HWND installer = FindInstaller();
  if (!installer) {
    Print("gone=1");
    return 0;
  }
  DWORD pid = 0;
  ::GetWindowThreadProcessId(installer, &pid);
  UniqueKernelHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (process) {
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
      Print("gone=0");
      return 1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    Print("gone=1 exit=" + std::to_string(code));
    return 0;
  }
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  while (::IsWindow(installer) && ::GetTickCount64() < deadline) ::Sleep(50);
  Print(std::string("gone=") + (::IsWindow(installer) ? "0" : "1"));
  return ::IsWindow(installer) ? 1 : 0;
}

std::string LocalTime(const FILETIME& time) {
  // The local time of that date (summer or winter), not with today's offset.
  SYSTEMTIME utc{};
  SYSTEMTIME st{};
  ::FileTimeToSystemTime(&time, &utc);
  ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &st);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                st.wMinute, st.wSecond);
  return text;
}

int FileInfo(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    Print("exists=0");
    return 0;
  }
  std::string attributes;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) attributes += 'R';
  if (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) attributes += 'H';
  if (data.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) attributes += 'S';
  if (data.dwFileAttributes & FILE_ATTRIBUTE_ARCHIVE) attributes += 'A';
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) attributes += 'D';
  const unsigned long long size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  Print("exists=1 size=" + std::to_string(size) + " attributes=" + attributes +
        " written=" + LocalTime(data.ftLastWriteTime) + " created=" + LocalTime(data.ftCreationTime));
  return 0;
}

int LinkTarget(const std::wstring& path) {
  ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid()))) {
    Print("error=cannot create the link object");
    return 1;
  }
  ComPtr<IPersistFile> file = link.As<IPersistFile>(IID_IPersistFile);
  if (!file || FAILED(file->Load(path.c_str(), STGM_READ))) {
    Print("loaded=0");
    return 0;
  }
  wchar_t target[MAX_PATH] = {};
  link->GetPath(target, MAX_PATH, nullptr, 0);
  wchar_t directory[MAX_PATH] = {};
  link->GetWorkingDirectory(directory, MAX_PATH);
  wchar_t description[INFOTIPSIZE] = {};
  link->GetDescription(description, INFOTIPSIZE);
  Print("loaded=1 target=" + Narrow(target) + " directory=" + Narrow(directory) +
        " description=" + Narrow(description));
  return 0;
}

int MakeLink(const std::wstring& path, const std::wstring& target) {
  ComPtr<IShellLinkW> link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid()))) {
    Print("error=cannot create the link object");
    return 1;
  }
  link->SetPath(target.c_str());
  ComPtr<IPersistFile> file = link.As<IPersistFile>(IID_IPersistFile);
  if (!file || FAILED(file->Save(path.c_str(), TRUE))) {
    Print("saved=0");
    return 1;
  }
  Print("saved=1");
  return 0;
}

int Trust(const std::wstring& path) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    Print("error=cannot open the certificate");
    return 1;
  }
  std::vector<BYTE> der(::GetFileSize(file.get(), nullptr));
  DWORD read = 0;
  if (!::ReadFile(file.get(), der.data(), static_cast<DWORD>(der.size()), &read, nullptr) || read != der.size()) {
    Print("error=cannot read the certificate");
    return 1;
  }
  if (!::CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(), static_cast<DWORD>(der.size()))) {
    Print("error=the Root store refused the certificate (" + std::to_string(::GetLastError()) + ")");
    return 1;
  }
  Print("trusted=1");
  return 0;
}

// ---- What a screen reader reads ------------------------------------------------------------

struct Accessible {
  bool found = false;
  std::string role, name, value, state;
};

std::string FromBstr(BSTR text) { return text ? Narrow(text) : std::string(); }

Accessible ReadAccessible(HWND hwnd, LONG object) {
  Accessible read;
  ComPtr<IAccessible> accessible;
  if (FAILED(::AccessibleObjectFromWindow(hwnd, static_cast<DWORD>(object), IID_IAccessible, accessible.putVoid())) ||
      !accessible) {
    return read;
  }
  read.found = true;
  VARIANT self;
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  VARIANT role;
  ::VariantInit(&role);
  if (SUCCEEDED(accessible->get_accRole(self, &role)) && role.vt == VT_I4) {
    wchar_t text[128] = {};
    ::GetRoleTextW(static_cast<DWORD>(role.lVal), text, 128);
    read.role = std::to_string(role.lVal) + " (" + Narrow(text) + ")";
  }
  BSTR text = nullptr;
  if (accessible->get_accName(self, &text) == S_OK) read.name = FromBstr(text);
  ::SysFreeString(text);
  text = nullptr;
  if (accessible->get_accValue(self, &text) == S_OK) read.value = FromBstr(text);
  ::SysFreeString(text);
  VARIANT state;
  ::VariantInit(&state);
  if (SUCCEEDED(accessible->get_accState(self, &state)) && state.vt == VT_I4) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(state.lVal));
    read.state = hex;
  }
  return read;
}

void PrintAccessible(const std::string& what, const Accessible& read) {
  if (!read.found) {
    Print("acc " + what + " found=0");
    return;
  }
  Print("acc " + what + " role=" + read.role + " state=" + read.state + " value=" + read.value +
        " name=" + Escaped(read.name));
}

int PrintAccessibleTree(HWND installer) {
  PrintAccessible("window=frame", ReadAccessible(installer, OBJID_WINDOW));
  PrintAccessible("window=client", ReadAccessible(installer, OBJID_CLIENT));
  for (HWND child : Descendants(installer)) {
    PrintAccessible("class=" + ClassOf(child) + " id=" + std::to_string(::GetDlgCtrlID(child)),
                    ReadAccessible(child, OBJID_CLIENT));
  }
  return 0;
}

// ---- Colours --------------------------------------------------------------------------------

struct NamedColour {
  const char* name;
  int element;
};
constexpr NamedColour kColours[] = {
    {"window", COLOR_WINDOW},          {"window-text", COLOR_WINDOWTEXT}, {"button-face", COLOR_BTNFACE},
    {"button-text", COLOR_BTNTEXT},    {"highlight", COLOR_HIGHLIGHT},    {"highlight-text", COLOR_HIGHLIGHTTEXT},
    {"gray-text", COLOR_GRAYTEXT},
};

std::string Hex(COLORREF colour) {
  char text[8];
  std::snprintf(text, sizeof text, "%02x%02x%02x", GetRValue(colour), GetGValue(colour), GetBValue(colour));
  return text;
}

int SetColours(int argc, wchar_t** argv) {
  std::vector<INT> elements;
  std::vector<COLORREF> values;
  for (int i = 2; i < argc; ++i) {
    const std::string setting = Narrow(argv[i]);
    const auto equals = setting.find('=');
    const NamedColour* found = nullptr;
    for (const NamedColour& colour : kColours)
      if (equals != std::string::npos && setting.compare(0, equals, colour.name) == 0 &&
          std::char_traits<char>::length(colour.name) == equals)
        found = &colour;
    const std::string hex = equals == std::string::npos ? "" : setting.substr(equals + 1);
    if (!found || hex.size() != 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      Print("error=expected NAME=RRGGBB, not " + setting);
      return 2;
    }
    const unsigned long rgb = std::strtoul(hex.c_str(), nullptr, 16);
    elements.push_back(found->element);
    values.push_back(RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
  }
  if (elements.empty() || !::SetSysColors(static_cast<int>(elements.size()), elements.data(), values.data())) {
    Print("set=0");
    return 1;
  }
  Print("set=1");
  return 0;
}

// Tells a test waiting to let a transfer go that sampling is under way (an empty file, once).
void MarkStarted(const std::wstring& path) {
  if (path.empty() || ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return;
  UniqueFile marker(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
}

int Run(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring command = argv[1];
  auto arg = [&](int i) { return i < argc ? std::wstring(argv[i]) : std::wstring(); };
  auto number = [&](int i) { return static_cast<DWORD>(std::wcstoul(arg(i).c_str(), nullptr, 10)); };

  if (command == L"wait-window") {
    const ULONGLONG deadline = ::GetTickCount64() + number(2);
    HWND installer = WaitFor(FindInstallerBy, nullptr, number(2));
    if (!installer) {
      Print("found=0");
      return 1;
    }
    // Up means answering too: on a busy machine the window shows before its thread takes messages.
    DWORD_PTR ignored = 0;
    while (!::SendMessageTimeoutW(installer, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &ignored) &&
           ::IsWindow(installer) && ::GetTickCount64() < deadline) {
    }
    Print("found=1");
    PrintState(installer);
    return 0;
  }
  if (command == L"file") return FileInfo(arg(2));
  if (command == L"link") return LinkTarget(arg(2));
  if (command == L"trust") return Trust(arg(2));
  if (command == L"colours") {
    for (const NamedColour& colour : kColours) Print(std::string(colour.name) + "=" + Hex(::GetSysColor(colour.element)));
    return 0;
  }
  if (command == L"set-colours") return SetColours(argc, argv);
  if (command == L"make-link") return MakeLink(arg(2), arg(3));
  if (command == L"folder") {
    wchar_t path[MAX_PATH + 1] = {};
    ::SHGetFolderPathW(nullptr, static_cast<int>(number(2)), nullptr, SHGFP_TYPE_CURRENT, path);
    Print("path=" + Narrow(path));
    return 0;
  }
  if (command == L"temp") {
    wchar_t path[MAX_PATH + 1] = {};
    if (!::GetTempPathW(MAX_PATH + 1, path)) return 1;
    Print("path=" + Narrow(path));
    return 0;
  }
  if (command == L"wait-gone") return WaitGone(number(2));
  if (command == L"wait-dialog" || command == L"no-dialog") {
    if (argc < 4) return 2;
    const bool expected = command == L"wait-dialog";
    HWND dialog = WaitFor(FindDialog, argv[2], number(3));
    if (!dialog) {
      Print("dialog=0");
      return expected ? 1 : 0;
    }
    HWND owner = ::GetWindow(dialog, GW_OWNER);
    Print(std::string("dialog=1 owner=") + (owner && owner == FindInstaller() ? "installer" : ClassOf(owner)));
    for (HWND child : Descendants(dialog)) {
      const std::string cls = ClassOf(child);
      if (cls == "Static" && ::IsWindowVisible(child) && !Text(child).empty()) Print("text=" + Escaped(Text(child)));
      if (cls == "Static" && (::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) Print("icon=1");
      if (cls == "Button" && ::IsWindowVisible(child)) Print("button=" + Shown(Text(child)));
    }
    return expected ? 0 : 1;
  }
  if (command == L"answer-dialog") {
    if (argc < 4) return 2;
    HWND dialog = FindDialog(argv[2]);
    HWND button = dialog ? FindButton(dialog, Narrow(arg(3))) : nullptr;
    if (!button) {
      Print("answered=0");
      return 1;
    }
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED), reinterpret_cast<LPARAM>(button));
    Print("answered=1");
    return 0;
  }

  HWND installer = FindInstaller();
  if (!installer) {
    Print("found=0");
    return 1;
  }
  if (command == L"state") {
    PrintState(installer);
    return 0;
  }
  if (command == L"click") {
    HWND button = FindButton(installer, Narrow(arg(2)));
    if (!button) {
      Print("clicked=0");
      return 1;
    }
    // Posted, not sent: the press starts a run that holds the installer's thread.
    ::PostMessageW(button, BM_CLICK, 0, 0);
    Print("clicked=1");
    return 0;
  }
  if (command == L"close") {
    ::PostMessageW(installer, WM_SYSCOMMAND, SC_CLOSE, 0);
    Print("closed=1");
    return 0;
  }
  if (command == L"kill") {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(installer, &pid);
    UniqueKernelHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process || !::TerminateProcess(process.get(), 9)) return 1;
    ::WaitForSingleObject(process.get(), 10000);
    Print("killed=1");
    return 0;
  }
  if (command == L"accessible") return PrintAccessibleTree(installer);
  if (command == L"pixel") {
    POINT point{static_cast<LONG>(number(2)), static_cast<LONG>(number(3))};
    ::ClientToScreen(installer, &point);
    HDC screen = ::GetDC(nullptr);
    const COLORREF colour = ::GetPixel(screen, point.x, point.y);
    ::ReleaseDC(nullptr, screen);
    Print("pixel=" + (colour == CLR_INVALID ? std::string("invalid") : Hex(colour)));
    return colour == CLR_INVALID ? 1 : 0;
  }
  if (command == L"sample-accessible") {
    HWND bar = FindProgressBar(installer);
    const ULONGLONG start = ::GetTickCount64();
    const ULONGLONG end = start + number(2);
    while (bar && ::IsWindow(bar) && ::GetTickCount64() < end) {
      const Accessible read = ReadAccessible(bar, OBJID_CLIENT);
      Print("sample t=" + std::to_string(::GetTickCount64() - start) + " found=" + (read.found ? "1" : "0") +
            " role=" + read.role + " state=" + read.state + " value=" + read.value);
      MarkStarted(arg(4));
      ::Sleep(number(3));
    }
    return 0;
  }
  if (command == L"sample-progress") {
    HWND bar = FindProgressBar(installer);
    const ULONGLONG start = ::GetTickCount64();
    const ULONGLONG end = start + number(2);
    while (bar && ::IsWindow(bar) && ::GetTickCount64() < end) {
      const std::string visible = ::IsWindowVisible(bar) ? "1" : "0";
      Print("sample t=" + std::to_string(::GetTickCount64() - start) + " visible=" + visible +
            " pos=" + ProgressPosition(bar, 250));
      MarkStarted(arg(4));
      ::Sleep(number(3));
    }
    return 0;
  }
  return 2;
}

// The installer is per-monitor DPI aware; a probe that is not would read its window in
// coordinates the system scales to 96 DPI (as Windows 10 and Wine 10 do), not in its pixels.
void BecomeDpiAware() {
  using SetContextFunction = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  const auto setContext = user32 ? reinterpret_cast<SetContextFunction>(
                                       reinterpret_cast<void*>(::GetProcAddress(user32, "SetProcessDpiAwarenessContext")))
                                 : nullptr;
  if (!setContext || !setContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) ::SetProcessDPIAware();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  BecomeDpiAware();
  quorvex::win32::ComApartment apartment;
  const int result = Run(argc, argv);
  if (result == 2) Print("usage: qv-probe COMMAND ARGS (see the source's header)");
  return result;
}
