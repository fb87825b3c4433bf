// The installer window in-process under Wine: layout and scaling, the style and the logo,
// the handlers' rules (progress, one run at a time, closing during a run, keys), high
// contrast and what screen readers are told, with a stand-in installation run so that no
// network or disk is involved.

#include <windows.h>
#include <commctrl.h>
#include <oleacc.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "download/Transport.h"
#include "install/Installation.h"
#include "platform/win32/ComPtr.h"
#include "platform/win32/Win32FileSystem.h"
#include "platform/win32/Win32Shell.h"
#include "window/ControlAccessibility.h"
#include "window/FormLayout.h"
#include "window/FormPainter.h"
#include "window/HighContrast.h"
#include "window/LogoLoader.h"
#include "window/ModuleResource.h"
#include "window/Picture.h"
#include "window/StyleResource.h"
#include "window/VisualStyle.h"
#include "window/WindowError.h"
#include "window/uQuorvexInstall.h"

namespace quorvex::window {
namespace {

using ::testing::HasSubstr;

// ---- Layout --------------------------------------------------------------------------------

TEST(FormLayout, DesignTableAt144Dpi) {
  const FormLayout shown = ComputeFormLayout(144, true);
  EXPECT_EQ(shown.client, (Box{0, 0, 803, 458}));
  EXPECT_EQ(shown.pnlHeader, (Box{0, 15, 803, 120}));
  EXPECT_EQ(shown.imgLogo, (Box{10, 10, 783, 100}));
  EXPECT_EQ(shown.logo, (Box{135, 0, 512, 100}));  // 1536 x 300 fitted and centred
  EXPECT_EQ(shown.lbl1, (Box{5, 140, 793, 64}));
  EXPECT_EQ(shown.progressBar, (Box{75, 224, 653, 25}));
  EXPECT_EQ(shown.panel1, (Box{75, 279, 653, 45}));
  EXPECT_EQ(shown.btnCancelar, (Box{540, 0, 113, 45}));
  EXPECT_EQ(shown.btnAvancar, (Box{422, 0, 113, 45}));
  EXPECT_EQ(shown.fontHeight, 20);
  EXPECT_EQ(shown.titleFontHeight, 24);

  // A hidden bar takes no space: the button row sits 40 pixels higher.
  const FormLayout hidden = ComputeFormLayout(144, false);
  EXPECT_EQ(hidden.progressBar, Box{});
  EXPECT_EQ(hidden.panel1.y, shown.panel1.y - 40);
}

TEST(FormLayout, ScalesWithDpi) {
  struct Case {
    int dpi;
    int width, height, font, buttonWidth;
  };
  for (const Case& c : {Case{96, 535, 305, 13, 75}, Case{120, 669, 382, 17, 94}, Case{144, 803, 458, 20, 113},
                        Case{192, 1071, 611, 27, 151}, Case{288, 1606, 916, 40, 226}}) {
    SCOPED_TRACE(c.dpi);
    const FormLayout layout = ComputeFormLayout(c.dpi, true);
    EXPECT_EQ(layout.client.width, c.width);
    EXPECT_EQ(layout.client.height, c.height);
    EXPECT_EQ(layout.fontHeight, c.font);
    EXPECT_EQ(layout.btnCancelar.width, c.buttonWidth);
    // The stack stays inside the client area and the buttons inside their row.
    EXPECT_LE(layout.panel1.Bottom(), layout.client.height);
    EXPECT_EQ(layout.btnCancelar.Right(), layout.panel1.width);
    EXPECT_LT(layout.btnAvancar.Right(), layout.btnCancelar.x);
    // The logo keeps its aspect within a pixel and stays centred in imgLogo.
    EXPECT_NEAR(layout.logo.width * 300.0 / 1536.0, layout.logo.height, 1.0);
    EXPECT_LE(std::abs(layout.logo.x * 2 + layout.logo.width - layout.imgLogo.width), 1);
  }
}

// ---- Style ---------------------------------------------------------------------------------

std::string ReadSource(const char* relative) {
  std::ifstream file(std::string(QUORVEX_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(VisualStyle, TabletLightIsReadableInEveryState) {
  const VisualStyle style = ParseVisualStyle(ReadSource("resources/TabletLight.style"));
  EXPECT_EQ(style.name, "Tablet Light");
  EXPECT_EQ(style.windowFace, (Colour{255, 255, 255}));
  EXPECT_GE(ContrastRatio(style.windowText, style.windowFace), 4.5);
  EXPECT_GE(ContrastRatio(Colour{0, 100, 176}, style.windowFace), 4.5);  // the title's own colour
  for (const ButtonLook* look : {&style.buttonNormal, &style.buttonHot, &style.buttonPressed, &style.buttonFocused,
                                 &style.buttonDisabled}) {
    EXPECT_GE(ContrastRatio(look->text, look->face), 4.5);
  }
  // Hot, pressed and focused must look different from normal, or the states are invisible.
  EXPECT_NE(style.buttonHot.face, style.buttonNormal.face);
  EXPECT_NE(style.buttonPressed.face, style.buttonHot.face);
  EXPECT_NE(style.buttonFocused.border, style.buttonNormal.border);
}

TEST(VisualStyle, ContrastRatioKnownValues) {
  EXPECT_NEAR(ContrastRatio({0, 0, 0}, {255, 255, 255}), 21.0, 1e-9);
  EXPECT_NEAR(ContrastRatio({255, 255, 255}, {255, 255, 255}), 1.0, 1e-9);
  EXPECT_NEAR(ContrastRatio({118, 118, 118}, {255, 255, 255}), 4.54, 0.01);
}

TEST(VisualStyle, BadTextIsRefusedWithTheLine) {
  const std::string good = ReadSource("resources/TabletLight.style");
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {good + "button.radius = 3\n", "is set twice"},
      {good + "window.shadow = #000000\n", "unknown key \"window.shadow\""},
      {good + "just words\n", "expected \"key = value\""},
      {"name = X\nwindow.face = #FFFFF\n", "line 2: expected a colour"},
      {"name = X\nwindow.face = #GGGGGG\n", "line 2: expected a colour"},
      {"name = X\nbutton.radius = -1\n", "line 2: expected a size"},
      {"name = X\n", "\"button.disabled.border\" is missing"},
      {"window.face = #FFFFFF\n", "\"name\" is missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      ParseVisualStyle(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const StyleError& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.message));
    }
  }
}

TEST(VisualStyle, FoundAmongTheResourcesByName) {
  const auto found = FindVisualStyle(::GetModuleHandleW(nullptr), "Tablet Light");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->name, "Tablet Light");
  EXPECT_FALSE(FindVisualStyle(::GetModuleHandleW(nullptr), "Tablet Dark").has_value());
  EXPECT_FALSE(FindVisualStyle(::GetModuleHandleW(nullptr), "tablet light").has_value());
}

// ---- Logo ----------------------------------------------------------------------------------

constexpr std::uint32_t kOpaqueBlack = 0xFF000000u;
constexpr std::uint32_t kOpaqueWhite = 0xFFFFFFFFu;
constexpr std::uint32_t kTransparent = 0x00000000u;

TEST(Picture, AreaAveragingKeepsTheMeanAndRespectsAlpha) {
  // A 4 x 2 checkerboard reduced to 2 x 1 is grey everywhere, not black or white.
  Picture board{4, 2, {kOpaqueBlack, kOpaqueWhite, kOpaqueBlack, kOpaqueWhite,
                       kOpaqueWhite, kOpaqueBlack, kOpaqueWhite, kOpaqueBlack}};
  const Picture grey = ResampleArea(board, 2, 1);
  ASSERT_EQ(grey.pixels.size(), 2u);
  for (std::uint32_t p : grey.pixels) EXPECT_EQ(p, 0xFF808080u);

  // Opaque red beside a transparent pixel: half-covered red over white is pink, and the
  // transparent pixel adds no colour of its own (premultiplied values).
  Picture edge{2, 1, {0xFFFF0000u, kTransparent}};
  Picture half = ResampleArea(edge, 1, 1);
  EXPECT_EQ(half.pixels[0], 0x80800000u);
  CompositeOver(half, Colour{255, 255, 255});
  EXPECT_EQ(half.pixels[0], 0xFFFF7F7Fu);

  // A third of a pixel: 3 -> 1 covers each source pixel equally.
  Picture thirds{3, 1, {0xFF0000FFu, 0xFF00FF00u, 0xFFFF0000u}};
  EXPECT_EQ(ResampleArea(thirds, 1, 1).pixels[0], 0xFF555555u);
}

TEST(Picture, LogoResourceDecodesAsTheProductLogo) {
  win32::ComApartment apartment;
  const auto bytes = ResourceBytes(::GetModuleHandleW(nullptr), L"LOGO", MAKEINTRESOURCEW(10));
  ASSERT_FALSE(bytes.empty());
  const Picture logo = DecodeImage(bytes);
  EXPECT_EQ(logo.width, 1536);
  EXPECT_EQ(logo.height, 300);
  std::size_t transparent = 0, opaque = 0;
  for (std::uint32_t p : logo.pixels) {
    transparent += (p >> 24) == 0;
    opaque += (p >> 24) == 0xFF;
  }
  EXPECT_GT(transparent, logo.pixels.size() / 2);  // a wordmark on a clear background
  EXPECT_GT(opaque, logo.pixels.size() / 20);

  const std::uint8_t notAnImage[] = {'P', 'K', 3, 4, 0, 0, 0, 0};
  try {
    DecodeImage(notAnImage);
    ADD_FAILURE() << "decoded a ZIP header as an image";
  } catch (const PictureError& error) {
    EXPECT_EQ(error.kind(), WindowFailure::kDecodeImage);
    EXPECT_TRUE(FAILED(static_cast<HRESULT>(error.code()))) << error.code();
  }
}

TEST(Picture, LogoLoadedOnAThreadOfItsOwnOrItsFailure) {
  // The program's own resources: decoded and scaled beside the caller, which needs no COM.
  LogoLoader loader(::GetModuleHandleW(nullptr), 341, 67);
  const LoadedLogo logo = loader.Take();
  EXPECT_EQ(logo.source.width, 1536);
  EXPECT_EQ(logo.source.height, 300);
  EXPECT_EQ(logo.scaled.width, 341);
  EXPECT_EQ(logo.scaled.height, 67);
  EXPECT_EQ(logo.scaled.pixels, ResampleArea(logo.source, 341, 67).pixels);

  // A module without the resource: the failure comes back to the caller of Take.
  LogoLoader missing(::GetModuleHandleW(L"kernel32.dll"), 10, 10);
  try {
    missing.Take();
    ADD_FAILURE() << "a logo from a module that has none";
  } catch (const WindowError& error) {
    EXPECT_EQ(error.kind(), WindowFailure::kLoadResource);
  }
}

// ---- The window ----------------------------------------------------------------------------

class NoTransport : public Transport {
 public:
  std::unique_ptr<HttpExchange> Send(const TransportRequest&) override {
    throw PlatformFailure(DownloadFailure::kSending, 12029, "no network in the window tests");
  }
};

// Counts the messages it gets, to tell whether pending events were processed.
class MessageCounter {
 public:
  MessageCounter() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = CounterProc;
    windowClass.lpszClassName = L"QuorvexTestCounter";
    ::RegisterClassW(&windowClass);
    hwnd_ = ::CreateWindowW(L"QuorvexTestCounter", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&count_));
  }
  ~MessageCounter() { ::DestroyWindow(hwnd_); }
  void Post() { ::PostMessageW(hwnd_, WM_APP, 0, 0); }
  int Count() const { return count_; }

 private:
  static LRESULT CALLBACK CounterProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) ++*reinterpret_cast<int*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }

  HWND hwnd_ = nullptr;
  int count_ = 0;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    style_ = FindVisualStyle(::GetModuleHandleW(nullptr), "Tablet Light");
    ASSERT_TRUE(style_.has_value());
  }
  void TearDown() override {
    form_.reset();
    DrainQueue();
  }

  void Create(std::function<void(const InstallationPorts&, const std::string&)> run) {
    FormServices services{::GetModuleHandleW(nullptr), transport_, files_, shell_, "https://127.0.0.1:1/admin",
                          "Quorvex_7.1", std::move(run)};
    form_ = std::make_unique<TFrmQuorvexInstall>(std::move(services), style_);
    form_->Show();
  }

  HWND Control(int id) {
    for (HWND child = ::GetWindow(form_->Handle(), GW_CHILD); child;) {
      if (HWND found = FindIn(child, id)) return found;
      child = ::GetWindow(child, GW_HWNDNEXT);
    }
    return nullptr;
  }
  static HWND FindIn(HWND window, int id) {
    if (::GetDlgCtrlID(window) == id) return window;
    for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
      if (HWND found = FindIn(child, id)) return found;
    return nullptr;
  }
  HWND Install() { return Control(IDOK); }
  HWND Bar() { return Control(104); }
  HWND ButtonRow() { return Control(105); }
  int BarPosition() { return static_cast<int>(::SendMessageW(Bar(), PBM_GETPOS, 0, 0)); }
  POINT TopLeftInForm(HWND control) {
    RECT rect;
    ::GetWindowRect(control, &rect);
    POINT point{rect.left, rect.top};
    ::ScreenToClient(form_->Handle(), &point);
    return point;
  }

  // True when a quit request waits in the queue; everything else is dropped.
  static bool DrainQueue() {
    bool quit = false;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
      } else {
        ::DispatchMessageW(&msg);
      }
    }
    return quit;
  }

  NoTransport transport_;
  win32::Win32FileSystem files_;
  win32::Win32Shell shell_;
  std::optional<VisualStyle> style_;
  std::unique_ptr<TFrmQuorvexInstall> form_;
};

TEST_F(WindowTest, CreatedWithItsFrameSizeAndHiddenBar) {
  Create([](const InstallationPorts&, const std::string&) {});
  HWND hwnd = form_->Handle();
  wchar_t caption[64] = {};
  ::GetWindowTextW(hwnd, caption, 64);
  EXPECT_STREQ(caption, L"Quorvex - Instala\u00e7\u00e3o");

  RECT client;
  ::GetClientRect(hwnd, &client);
  const FormLayout expected = ComputeFormLayout(form_->Dpi(), false);
  EXPECT_EQ(client.right, expected.client.width);
  EXPECT_EQ(client.bottom, expected.client.height);

  const LONG style = ::GetWindowLongW(hwnd, GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);

  EXPECT_FALSE(::IsWindowVisible(Bar()));
  EXPECT_EQ(TopLeftInForm(ButtonRow()).y, expected.panel1.y);
  EXPECT_TRUE(::IsWindowEnabled(Install()));
}

TEST_F(WindowTest, ProgressHandlerMovesTheBarOnlyForAnnouncedLengths) {
  struct Case {
    std::int64_t total, received;
    int position;  // -1: unchanged
    bool processesEvents;
  };
  const Case cases[] = {
      {100, 0, 0, true},
      {100, 50, 50, true},
      {3, 1, 33, true},
      {3, 3, 100, true},
      {5'000'000'000, 4'999'999'999, 99, true},  // needs the 64-bit product
      {5'000'000'000, 5'000'000'000, 100, true},
      {0, 10, -1, false},
      {-1, 10, -1, false},
      {-1, 0, -1, false},
  };
  Create([&](const InstallationPorts& ports, const std::string&) {
    ports.ui.ShowProgress();
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.total << " " << c.received);
      ::SendMessageW(Bar(), PBM_SETPOS, 7, 0);
      MessageCounter counter;
      counter.Post();
      for (bool abort : {false, true}) {
        bool flag = abort;
        form_->HttpReceiveData(c.total, c.received, flag);
        EXPECT_EQ(flag, abort) << "the abort flag is never touched";
      }
      EXPECT_EQ(BarPosition(), c.position < 0 ? 7 : c.position);
      EXPECT_EQ(counter.Count(), c.processesEvents ? 1 : 0);
      DrainQueue();
    }
  });
  ::SendMessageW(Install(), BM_CLICK, 0, 0);
}

TEST_F(WindowTest, SecondInstallDuringARunIsIgnored) {
  int runs = 0;
  bool enabledDuringRun = true;
  Create([&](const InstallationPorts& ports, const std::string& versionName) {
    ++runs;
    EXPECT_EQ(versionName, "Quorvex_7.1");
    ports.ui.ShowProgress();
    enabledDuringRun = ::IsWindowEnabled(Install()) != FALSE;
    // Presses that arrive while the handler processes events: a click and the Enter key.
    ::PostMessageW(Install(), BM_CLICK, 0, 0);
    ::PostMessageW(Install(), WM_KEYDOWN, VK_RETURN, 0);
    bool abort = false;
    form_->HttpReceiveData(200, 100, abort);
  });
  const int rowBefore = TopLeftInForm(ButtonRow()).y;
  ::SendMessageW(Install(), BM_CLICK, 0, 0);
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(enabledDuringRun);
  EXPECT_FALSE(form_->IsRunning());
  EXPECT_FALSE(DrainQueue()) << "a run that did not ask to end leaves the program running";

  // Idle again: Install works, the bar stays at its last position and takes its place.
  EXPECT_TRUE(::IsWindowEnabled(Install()));
  EXPECT_TRUE(::IsWindowVisible(Bar()));
  EXPECT_EQ(BarPosition(), 50);
  EXPECT_EQ(TopLeftInForm(ButtonRow()).y - rowBefore, ScaleToDpi(40, form_->Dpi()));
  ::SendMessageW(Install(), BM_CLICK, 0, 0);
  EXPECT_EQ(runs, 2);
}

TEST_F(WindowTest, CloseDuringARunEndsTheProgramOnlyAfterTheRun) {
  bool windowAliveAfterClose = false;
  bool runFinished = false;
  Create([&](const InstallationPorts& ports, const std::string&) {
    ports.ui.ShowProgress();
    ::PostMessageW(Control(IDCANCEL), BM_CLICK, 0, 0);
    ::PostMessageW(form_->Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
    bool abort = false;
    form_->HttpReceiveData(10, 5, abort);
    windowAliveAfterClose = ::IsWindow(form_->Handle()) && ::IsWindowVisible(form_->Handle());
    EXPECT_FALSE(abort);
    form_->HttpReceiveData(10, 10, abort);
    runFinished = true;
  });
  ::SendMessageW(Install(), BM_CLICK, 0, 0);
  EXPECT_TRUE(windowAliveAfterClose);
  EXPECT_TRUE(runFinished);
  EXPECT_EQ(BarPosition(), 100);
  EXPECT_TRUE(DrainQueue()) << "the end takes effect once the Install handler has returned";
}

// Reads every message box this thread shows while it lives (its caption and texts) and
// answers each with OK, so a modal box does not stop the test.
class MessageBoxReader {
 public:
  struct Box {
    std::wstring caption;
    std::wstring text;
  };

  MessageBoxReader() {
    current_ = this;
    hook_ = ::SetWindowsHookExW(WH_CBT, Hook, nullptr, ::GetCurrentThreadId());
  }
  ~MessageBoxReader() {
    ::UnhookWindowsHookEx(hook_);
    current_ = nullptr;
  }
  const std::vector<Box>& Boxes() const { return boxes_; }

 private:
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
    HWND window = reinterpret_cast<HWND>(wParam);
    wchar_t name[16] = {};
    if (code == HCBT_ACTIVATE && current_ && ::GetClassNameW(window, name, 16) && std::wstring(name) == L"#32770") {
      Box box;
      wchar_t text[512] = {};
      ::GetWindowTextW(window, text, 512);
      box.caption = text;
      for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        if (::GetClassNameW(child, name, 16) && std::wstring(name) == L"Static" && ::GetWindowTextW(child, text, 512))
          box.text += text;
      }
      current_->boxes_.push_back(box);
      ::PostMessageW(window, WM_COMMAND, IDOK, 0);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
  }

  static inline MessageBoxReader* current_ = nullptr;
  HHOOK hook_ = nullptr;
  std::vector<Box> boxes_;
};

TEST_F(WindowTest, FailureThatEscapesTheRunShowsTheRunsMessageNotItsDetail) {
  int runs = 0;
  Create([&](const InstallationPorts& ports, const std::string&) {
    ++runs;
    ports.ui.ShowProgress();
    throw std::runtime_error("Cannot delete C:\\Quorvex\\Quorvex.exe: (5) Access is denied.");
  });
  MessageBoxReader reader;
  ::SendMessageW(Install(), BM_CLICK, 0, 0);
  ASSERT_EQ(reader.Boxes().size(), 1u);
  EXPECT_EQ(reader.Boxes()[0].caption, L"Erro");
  EXPECT_EQ(reader.Boxes()[0].text, L"Erro no download!\rEntre em contato com o Suporte T\u00e9cnico.");
  // The window stays and Install works again.
  EXPECT_FALSE(DrainQueue());
  EXPECT_TRUE(::IsWindowEnabled(Install()));
  ::SendMessageW(Install(), BM_CLICK, 0, 0);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(reader.Boxes().size(), 2u);
}

TEST_F(WindowTest, RunThatRequestsTheEndEndsTheProgram) {
  Create([&](const InstallationPorts& ports, const std::string&) {
    ports.ui.ShowProgress();
    ports.ui.RequestEnd();
    EXPECT_FALSE(DrainQueue()) << "not while the run is still going";
  });
  ::SendMessageW(Install(), BM_CLICK, 0, 0);
  EXPECT_TRUE(DrainQueue());
}

TEST_F(WindowTest, KeysPressTheButtons) {
  int runs = 0;
  Create([&](const InstallationPorts&, const std::string&) { ++runs; });
  auto key = [&](HWND target, WPARAM vk) {
    MSG msg{target, WM_KEYDOWN, vk, 0, 0, {}};
    form_->DispatchLoopMessage(msg);
  };
  ::SetFocus(Install());
  key(Install(), VK_RETURN);
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(::IsWindow(form_->Handle()));

  // Tab moves from Install to Cancel; Enter there presses Cancel, which closes the window.
  key(Install(), VK_TAB);
  EXPECT_EQ(::GetFocus(), Control(IDCANCEL));
  key(Control(IDCANCEL), VK_RETURN);
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(::IsWindow(form_->Handle()));
  EXPECT_TRUE(DrainQueue());
}

TEST_F(WindowTest, EscapeCloses) {
  Create([](const InstallationPorts&, const std::string&) {});
  MSG msg{Install(), WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
  form_->DispatchLoopMessage(msg);
  EXPECT_EQ(form_->Handle(), nullptr);
  EXPECT_TRUE(DrainQueue());
}

TEST_F(WindowTest, MovingToAnotherDpiRescalesEverything) {
  Create([](const InstallationPorts& ports, const std::string&) { ports.ui.ShowProgress(); });
  ::SendMessageW(Install(), BM_CLICK, 0, 0);  // the bar is shown, so it is laid out too
  for (int dpi : {192, 96, 144}) {
    SCOPED_TRACE(dpi);
    RECT window;
    ::GetWindowRect(form_->Handle(), &window);
    RECT suggested{window.left + 10, window.top + 10, window.left + 500, window.top + 400};
    ::SendMessageW(form_->Handle(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    const FormLayout expected = ComputeFormLayout(dpi, true);
    RECT client;
    ::GetClientRect(form_->Handle(), &client);
    EXPECT_EQ(client.right, expected.client.width);
    EXPECT_EQ(client.bottom, expected.client.height);
    ::GetWindowRect(form_->Handle(), &window);
    EXPECT_EQ(window.left, suggested.left);
    EXPECT_EQ(window.top, suggested.top);
    RECT bar;
    ::GetClientRect(Bar(), &bar);
    EXPECT_EQ(bar.right, expected.progressBar.width);
    EXPECT_EQ(bar.bottom, expected.progressBar.height);
    EXPECT_EQ(TopLeftInForm(ButtonRow()).y, expected.panel1.y);
    RECT button;
    ::GetClientRect(Install(), &button);
    EXPECT_EQ(button.right, expected.btnAvancar.width);
  }
}


// ---- High contrast -------------------------------------------------------------------------

// A scheme whose colours all differ, so that each pixel says which one it was drawn in.
SystemColours TestScheme() {
  SystemColours scheme;
  scheme.window = RGB(0, 0, 0);
  scheme.windowText = RGB(255, 255, 255);
  scheme.buttonFace = RGB(16, 16, 48);
  scheme.buttonText = RGB(255, 255, 0);
  scheme.highlight = RGB(26, 235, 255);
  scheme.highlightText = RGB(64, 0, 64);
  scheme.grayText = RGB(63, 242, 63);
  return scheme;
}

// A 32-bit picture to draw into, read back pixel by pixel.
class Canvas {
 public:
  Canvas(int width, int height) : dc_(::CreateCompatibleDC(nullptr)) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    bitmap_ = ::CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    old_ = ::SelectObject(dc_, bitmap_);
  }
  ~Canvas() {
    ::SelectObject(dc_, old_);
    ::DeleteObject(bitmap_);
    ::DeleteDC(dc_);
  }
  HDC Dc() const { return dc_; }
  COLORREF At(int x, int y) const { return ::GetPixel(dc_, x, y); }

 private:
  HDC dc_;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
};

TEST(FormPainter, ButtonsInTheSchemesColoursWithFocusVisibleInEveryState) {
  auto style = FindVisualStyle(::GetModuleHandleW(nullptr), "Tablet Light");
  ASSERT_TRUE(style.has_value());
  FormPainter painter(style);
  painter.SetDpi(kDesignDpi);  // sizes as in the style: border 2, focus ring 3 inside it, 2 wide
  const SystemColours scheme = TestScheme();
  const COLORREF normalFace = RGB(0xF3, 0xF3, 0xF3);
  struct Case {
    bool highContrast;
    UINT state;
    COLORREF border, face, ring;  // ring: the pixel where a focus ring goes
  };
  const Case cases[] = {
      {true, 0, scheme.buttonText, scheme.buttonFace, scheme.buttonFace},
      {true, ODS_FOCUS, scheme.buttonText, scheme.buttonFace, scheme.buttonText},
      {true, ODS_FOCUS | ODS_NOFOCUSRECT, scheme.buttonText, scheme.buttonFace, scheme.buttonText},
      {true, ODS_SELECTED, scheme.highlight, scheme.highlight, scheme.highlight},
      {true, ODS_SELECTED | ODS_FOCUS, scheme.highlight, scheme.highlight, scheme.highlightText},
      {true, ODS_DISABLED, scheme.grayText, scheme.buttonFace, scheme.buttonFace},
      {true, ODS_DISABLED | ODS_FOCUS, scheme.grayText, scheme.buttonFace, scheme.buttonFace},
      // Back to the style: its own colours, focus as a blue frame.
      {false, 0, RGB(0xD1, 0xD1, 0xD1), normalFace, normalFace},
      {false, ODS_FOCUS, RGB(0x00, 0x64, 0xB0), normalFace, normalFace},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "high contrast " << c.highContrast << " state " << c.state);
    if (c.highContrast) {
      painter.UseSystemColours(scheme);
    } else {
      painter.UseSystemColours(std::nullopt);
    }
    Canvas canvas(120, 40);
    DRAWITEMSTRUCT item{};
    item.CtlType = ODT_BUTTON;
    item.itemState = c.state;
    item.hDC = canvas.Dc();
    item.rcItem = {0, 0, 120, 40};
    painter.DrawButton(item, ::GetStockObject(DEFAULT_GUI_FONT));
    EXPECT_EQ(canvas.At(0, 20), c.border);
    EXPECT_EQ(canvas.At(5, 20), c.ring);
    EXPECT_EQ(canvas.At(12, 20), c.face);
  }
}

// Sets the system's colours for the test and puts the old ones back (they are the prefix's,
// which every later test sees).
class SystemColoursScope {
 public:
  SystemColoursScope() : saved_(ReadSystemColours()) {}
  ~SystemColoursScope() { Set(saved_); }
  static void Set(const SystemColours& colours) {
    const INT elements[] = {COLOR_WINDOW, COLOR_WINDOWTEXT, COLOR_BTNFACE, COLOR_BTNTEXT,
                            COLOR_HIGHLIGHT, COLOR_HIGHLIGHTTEXT, COLOR_GRAYTEXT};
    const COLORREF values[] = {colours.window, colours.windowText, colours.buttonFace, colours.buttonText,
                               colours.highlight, colours.highlightText, colours.grayText};
    ::SetSysColors(7, elements, values);
  }

 private:
  SystemColours saved_;
};

class HighContrastWindowTest : public WindowTest {
 protected:
  void TearDown() override {
    ::SetEnvironmentVariableW(L"QUORVEX_HIGH_CONTRAST", nullptr);
    WindowTest::TearDown();
  }
  // What the control shows at (x, y) of its client area once everything is painted.
  COLORREF Pixel(HWND control, int x, int y) {
    ::RedrawWindow(form_->Handle(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    HDC dc = ::GetDC(control);
    const COLORREF colour = ::GetPixel(dc, x, y);
    ::ReleaseDC(control, dc);
    return colour;
  }
  int Size(int designPixels) { return ScaleToDpi(designPixels, form_->Dpi()); }
  // Where a focus ring is drawn inside a button, and a point of its face beside it.
  int RingX() { return std::max(1, Size(2)) + std::max(1, Size(3)); }
  int FaceX() { return RingX() + std::max(1, Size(2)) + 3; }
  int MiddleY(HWND control) {
    RECT rect;
    ::GetClientRect(control, &rect);
    return rect.bottom / 2;
  }
  HWND Logo() { return Control(102); }
};

TEST_F(HighContrastWindowTest, FollowsTheSettingAndTheSchemeWhileOpen) {
  win32::ComApartment apartment;  // the logo is decoded by the system's codecs
  SystemColoursScope restore;
  Create([](const InstallationPorts&, const std::string&) {});
  HWND client = Control(100);
  HWND cancel = Control(IDCANCEL);
  ASSERT_EQ(::GetFocus(), Install());
  EXPECT_FALSE(form_->InHighContrast());
  EXPECT_EQ(Pixel(client, 1, 1), RGB(255, 255, 255));

  // Turned on while the window is open: the system tells every window its colours changed.
  const SystemColours scheme = TestScheme();
  ::SetEnvironmentVariableW(L"QUORVEX_HIGH_CONTRAST", L"1");
  SystemColoursScope::Set(scheme);
  DrainQueue();
  EXPECT_TRUE(form_->InHighContrast());
  EXPECT_EQ(Pixel(client, 1, 1), scheme.window);
  EXPECT_EQ(Pixel(Install(), 0, MiddleY(Install())), scheme.buttonText);
  EXPECT_EQ(Pixel(Install(), FaceX(), MiddleY(Install())), scheme.buttonFace);
  EXPECT_EQ(Pixel(Install(), RingX(), MiddleY(Install())), scheme.buttonText) << "focus stays visible";
  EXPECT_EQ(Pixel(cancel, RingX(), MiddleY(cancel)), scheme.buttonFace);
  // The logo stays, in its own colours on its plate.
  const FormLayout layout = ComputeFormLayout(form_->Dpi(), false);
  EXPECT_EQ(Pixel(Logo(), layout.logo.x + 1, layout.logo.y + 1), RGB(255, 255, 255));
  int logoColours = 0;
  for (int x = layout.logo.x; x < layout.logo.Right(); x += 4) {
    const COLORREF colour = Pixel(Logo(), x, layout.logo.y + layout.logo.height / 2);
    logoColours += colour != RGB(255, 255, 255) && colour != scheme.window;
  }
  EXPECT_GT(logoColours, 5);

  // Another scheme while it is on.
  SystemColours second = scheme;
  second.window = RGB(0, 0, 96);
  SystemColoursScope::Set(second);
  DrainQueue();
  EXPECT_EQ(Pixel(client, 1, 1), second.window);

  // Turned off: the setting changes, and the style's colours come back.
  ::SetEnvironmentVariableW(L"QUORVEX_HIGH_CONTRAST", nullptr);
  ::SendMessageW(form_->Handle(), WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
  EXPECT_FALSE(form_->InHighContrast());
  EXPECT_EQ(Pixel(client, 1, 1), RGB(255, 255, 255));
  EXPECT_EQ(Pixel(Install(), FaceX(), MiddleY(Install())), RGB(0xF3, 0xF3, 0xF3));
}

TEST_F(HighContrastWindowTest, OnFromTheStartWithTheBarInTheSchemesColours) {
  SystemColoursScope restore;
  const SystemColours scheme = TestScheme();
  SystemColoursScope::Set(scheme);
  ::SetEnvironmentVariableW(L"QUORVEX_HIGH_CONTRAST", L"1");
  COLORREF track = 0, fill = 0, title = 0;
  int titleTextPixels = 0;
  Create([&](const InstallationPorts& ports, const std::string&) {
    ports.ui.ShowProgress();
    bool abort = false;
    form_->HttpReceiveData(100, 50, abort);
    RECT bar;
    ::GetClientRect(Bar(), &bar);
    fill = Pixel(Bar(), bar.right / 4, bar.bottom / 2);
    track = Pixel(Bar(), bar.right * 3 / 4, bar.bottom / 2);
    RECT rect;
    ::GetClientRect(Control(103), &rect);
    title = Pixel(Control(103), 1, 1);
    for (int x = 0; x < rect.right; ++x) titleTextPixels += Pixel(Control(103), x, rect.bottom / 2 - 2) == scheme.windowText;
  });
  EXPECT_TRUE(form_->InHighContrast());
  ::SendMessageW(Install(), BM_CLICK, 0, 0);
  EXPECT_EQ(fill, scheme.highlight);
  EXPECT_EQ(track, scheme.window);
  EXPECT_EQ(title, scheme.window);
  EXPECT_GT(titleTextPixels, 0) << "the title is written in the scheme's text colour";
}

// ---- Screen readers ------------------------------------------------------------------------

TEST(ControlAccessibility, ProgressValueIsTheShareOfTheRange) {
  struct Case {
    int low, high, position;
    const wchar_t* text;
  };
  const Case cases[] = {
      {0, 100, 0, L"0%"},       {0, 100, 42, L"42%"},  {0, 100, 100, L"100%"}, {0, 3, 1, L"33%"},
      {10, 20, 15, L"50%"},     {0, 100, -5, L"0%"},   {0, 100, 150, L"100%"}, {5, 5, 5, L"0%"},
      {0, INT_MAX, INT_MAX / 2, L"49%"}, {INT_MIN, INT_MAX, INT_MAX, L"100%"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.low << " " << c.high << " " << c.position);
    EXPECT_EQ(ProgressValueText(c.low, c.high, c.position), c.text);
  }
}

constexpr DWORD kClientArea = static_cast<DWORD>(OBJID_CLIENT);

struct Read {
  HRESULT found = E_FAIL;
  LONG role = -1;
  std::wstring name, value;
  LONG state = 0;
};

Read ReadAccessible(HWND control) {
  Read read;
  win32::ComPtr<IAccessible> object;
  read.found = ::AccessibleObjectFromWindow(control, kClientArea, __uuidof(IAccessible), object.putVoid());
  if (FAILED(read.found) || !object) return read;
  VARIANT self;
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  VARIANT role;
  ::VariantInit(&role);
  if (SUCCEEDED(object->get_accRole(self, &role)) && role.vt == VT_I4) read.role = role.lVal;
  BSTR text = nullptr;
  if (object->get_accName(self, &text) == S_OK) read.name = text;
  ::SysFreeString(text);
  text = nullptr;
  if (object->get_accValue(self, &text) == S_OK) read.value = text;
  ::SysFreeString(text);
  VARIANT state;
  ::VariantInit(&state);
  if (SUCCEEDED(object->get_accState(self, &state)) && state.vt == VT_I4) read.state = state.lVal;
  return read;
}

TEST_F(WindowTest, ScreenReadersReadTheBarWithItsValueAndTheTexts) {
  win32::ComApartment apartment;
  std::vector<std::wstring> values;
  Create([&](const InstallationPorts& ports, const std::string&) {
    ports.ui.ShowProgress();
    for (std::int64_t received : {0, 42, 100}) {
      bool abort = false;
      form_->HttpReceiveData(100, received, abort);
      const Read bar = ReadAccessible(Bar());
      EXPECT_EQ(bar.role, ROLE_SYSTEM_PROGRESSBAR);
      EXPECT_EQ(bar.name, L"Progresso do download");
      EXPECT_EQ(bar.state & (STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_INVISIBLE), 0);
      values.push_back(bar.value);
    }
  });
  const Read hidden = ReadAccessible(Bar());
  EXPECT_EQ(hidden.role, ROLE_SYSTEM_PROGRESSBAR);
  EXPECT_TRUE(hidden.state & STATE_SYSTEM_INVISIBLE) << "the bar is hidden until Install";
  ::SendMessageW(Install(), BM_CLICK, 0, 0);
  EXPECT_EQ(values, (std::vector<std::wstring>{L"0%", L"42%", L"100%"}));

  const Read title = ReadAccessible(Control(103));
  EXPECT_EQ(title.role, ROLE_SYSTEM_STATICTEXT);
  EXPECT_EQ(title.name, L"Instala\u00e7\u00e3o\r\nQuorvex - Veltrano");
  const Read logo = ReadAccessible(Control(102));
  EXPECT_EQ(logo.role, ROLE_SYSTEM_GRAPHIC);
  EXPECT_EQ(logo.name, L"Quorvex");
  EXPECT_EQ(ReadAccessible(Install()).name, L"Instalar");
  EXPECT_EQ(ReadAccessible(Control(IDCANCEL)).name, L"Cancelar");
}

TEST_F(WindowTest, ScreenReaderObjectOutlivingItsBarAnswersThatItIsGone) {
  win32::ComApartment apartment;
  Create([](const InstallationPorts&, const std::string&) {});
  win32::ComPtr<IAccessible> object;
  ASSERT_EQ(::AccessibleObjectFromWindow(Bar(), kClientArea, __uuidof(IAccessible), object.putVoid()), S_OK);
  form_.reset();
  DrainQueue();
  VARIANT self;
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  BSTR text = nullptr;
  EXPECT_EQ(object->get_accValue(self, &text), E_FAIL);
  EXPECT_EQ(text, nullptr);
  VARIANT role;
  ::VariantInit(&role);
  EXPECT_EQ(object->get_accRole(self, &role), S_OK) << "what it was stays known";
  EXPECT_EQ(role.lVal, ROLE_SYSTEM_PROGRESSBAR);
}

}  // namespace
}  // namespace quorvex::window
