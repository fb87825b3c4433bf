#include "window/ControlAccessibility.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform/win32/ComPtr.h"
#include "platform/win32/CommonControlsLibrary.h"
#include "platform/win32/SystemCallback.h"
#include "platform/win32/SystemLibrary.h"
#include "window/WindowError.h"

namespace quorvex::window {

namespace {

struct Description {
  LONG role;
  std::wstring name;
};

// oleacc is no KnownDLL, so it is not imported: it is loaded from System32 at the first
// question a screen reader asks. Null functions where it cannot be: the system's answer
// stands then.
struct OleaccFunctions {
  decltype(&::LresultFromObject) LresultFromObject = nullptr;
  decltype(&::CreateStdAccessibleObject) CreateStdAccessibleObject = nullptr;
};

const OleaccFunctions& Oleacc() {
  static const OleaccFunctions functions = [] {
    OleaccFunctions found;
    win32::SystemFunctions library(L"oleacc.dll");
    library.Resolve(found.LresultFromObject, "LresultFromObject")
        .Resolve(found.CreateStdAccessibleObject, "CreateStdAccessibleObject");
    if (library.complete()) return found;
    LogDetail("screen readers get the system's own description of the window: " + library.missing() + " (" +
              std::to_string(library.error()) + ")");
    return OleaccFunctions{};
  }();
  return functions;
}

bool IsSelf(const VARIANT& child) {
  return child.vt == VT_EMPTY || (child.vt == VT_I4 && child.lVal == CHILDID_SELF);
}

HRESULT ReturnText(const std::wstring& text, BSTR* out) {
  *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// The object a described control answers with. Its methods are called by the system (COM's
// stubs, oleacc) and may not let an exception out: each catches what it can throw itself. It
// lives on the window's thread (an apartment-threaded object) and may outlive the control, so
// it asks the control for its state each time and answers E_FAIL once the control is gone.
// COM interfaces have no virtual destructor: the object deletes itself in Release, never
// through the interface.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class DescribedControl final : public IAccessible {
 public:
  DescribedControl(HWND control, const Description& description, win32::ComPtr<IAccessible> standard)
      : control_(control), role_(description.role), name_(description.name), standard_(std::move(standard)) {}

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) noexcept override {
    if (!object) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IDispatch) || iid == __uuidof(IAccessible)) {
      *object = static_cast<IAccessible*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() noexcept override { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() noexcept override {
    const LONG left = ::InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IDispatch: screen readers call IAccessible's methods directly; there is no type library.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) noexcept override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) noexcept override {
    return E_NOTIMPL;
  }

  // What we say ourselves.
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) noexcept override {
    if (!role) return E_POINTER;
    ::VariantInit(role);
    if (!IsSelf(child)) return E_INVALIDARG;
    role->vt = VT_I4;
    role->lVal = role_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) noexcept override {
    if (!name) return E_POINTER;
    *name = nullptr;
    if (!IsSelf(child)) return E_INVALIDARG;
    if (!::IsWindow(control_)) return E_FAIL;
    try {
      if (!name_.empty()) return ReturnText(name_, name);
      std::wstring text(static_cast<std::size_t>(std::max(0, ::GetWindowTextLengthW(control_))) + 1, L'\0');
      text.resize(static_cast<std::size_t>(::GetWindowTextW(control_, text.data(), static_cast<int>(text.size()))));
      return text.empty() ? S_FALSE : ReturnText(text, name);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) noexcept override {
    if (!value) return E_POINTER;
    *value = nullptr;
    if (!IsSelf(child)) return E_INVALIDARG;
    if (!::IsWindow(control_)) return E_FAIL;
    if (role_ != ROLE_SYSTEM_PROGRESSBAR) return S_FALSE;
    const int low = static_cast<int>(::SendMessageW(control_, PBM_GETRANGE, TRUE, 0));
    const int high = static_cast<int>(::SendMessageW(control_, PBM_GETRANGE, FALSE, 0));
    const int position = static_cast<int>(::SendMessageW(control_, PBM_GETPOS, 0, 0));
    try {
      return ReturnText(ProgressValueText(low, high, position), value);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) noexcept override {
    if (!state) return E_POINTER;
    ::VariantInit(state);
    if (!IsSelf(child)) return E_INVALIDARG;
    if (!::IsWindow(control_)) return E_FAIL;
    // Nothing described here takes the focus or input: it is read, not used.
    LONG flags = STATE_SYSTEM_READONLY;
    if (!::IsWindowVisible(control_)) flags |= STATE_SYSTEM_INVISIBLE;
    state->vt = VT_I4;
    state->lVal = flags;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) noexcept override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT, IDispatch** child) noexcept override {
    if (!child) return E_POINTER;
    *child = nullptr;
    return E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) noexcept override {
    if (!action) return E_POINTER;
    *action = nullptr;
    return IsSelf(child) ? S_FALSE : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT) noexcept override { return DISP_E_MEMBERNOTFOUND; }
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) noexcept override { return E_NOTIMPL; }

  // Where it is and what surrounds it: the system's object knows.
  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) noexcept override {
    return standard_ ? standard_->get_accParent(parent) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) noexcept override {
    return standard_ ? standard_->get_accDescription(child, description) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) noexcept override {
    return standard_ ? standard_->get_accHelp(child, help) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) noexcept override {
    return standard_ ? standard_->get_accHelpTopic(file, child, topic) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) noexcept override {
    return standard_ ? standard_->get_accKeyboardShortcut(child, shortcut) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) noexcept override {
    return standard_ ? standard_->get_accFocus(focus) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) noexcept override {
    return standard_ ? standard_->get_accSelection(selection) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) noexcept override {
    return standard_ ? standard_->accSelect(flags, child) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                        VARIANT child) noexcept override {
    return standard_ ? standard_->accLocation(left, top, width, height, child) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) noexcept override {
    return standard_ ? standard_->accNavigate(direction, start, end) : E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE accHitTest(LONG left, LONG top, VARIANT* child) noexcept override {
    return standard_ ? standard_->accHitTest(left, top, child) : E_NOTIMPL;
  }

 private:
  ~DescribedControl() = default;

  LONG references_ = 1;
  HWND control_;
  LONG role_;
  std::wstring name_;
  win32::ComPtr<IAccessible> standard_;
};
#pragma GCC diagnostic pop

// The client area's object for WM_GETOBJECT, or 0 for the system's own answer.
LRESULT AnswerForClientArea(HWND control, const Description& description, WPARAM wParam) {
  const OleaccFunctions& oleacc = Oleacc();
  if (!oleacc.LresultFromObject || !oleacc.CreateStdAccessibleObject) return 0;
  win32::ComPtr<IAccessible> standard;
  if (FAILED(oleacc.CreateStdAccessibleObject(control, OBJID_CLIENT, __uuidof(IAccessible), standard.putVoid())))
    standard.reset();
  auto* object = new DescribedControl(control, description, std::move(standard));
  const LRESULT answer = oleacc.LresultFromObject(__uuidof(IAccessible), wParam, object);
  object->Release();  // the answer holds its own reference
  return FAILED(static_cast<HRESULT>(answer)) ? 0 : answer;
}

constexpr UINT_PTR kSubclassId = 7;

LRESULT DescriptionSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data);
const SUBCLASSPROC kDescriptionSubclass =
    &win32::SystemCallback<&DescriptionSubclassProc, &win32::SubclassFailureAnswer>::Call;

LRESULT DescriptionSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data) {
  auto* description = reinterpret_cast<Description*>(data);
  switch (message) {
    case WM_GETOBJECT:
      if (static_cast<LONG>(static_cast<DWORD>(lParam)) == OBJID_CLIENT) {
        if (const LRESULT answer = AnswerForClientArea(hwnd, *description, wParam)) return answer;
      }
      break;
    case WM_NCDESTROY:
      win32::CommonControls().RemoveWindowSubclass(hwnd, kDescriptionSubclass, kSubclassId);
      delete description;
      break;
    default:
      break;
  }
  return win32::CommonControls().DefSubclassProc(hwnd, message, wParam, lParam);
}

}  // namespace

void DescribeForScreenReaders(HWND control, LONG role, std::wstring name) {
  auto description = std::make_unique<Description>(Description{role, std::move(name)});
  if (win32::CommonControls().SetWindowSubclass(control, kDescriptionSubclass, kSubclassId,
                                                reinterpret_cast<DWORD_PTR>(description.get()))) {
    description.release();  // the subclass owns it until WM_NCDESTROY
  }
}

std::wstring ProgressValueText(int low, int high, int position) {
  if (high <= low) return L"0%";
  const std::int64_t clamped = std::clamp(position, low, high);
  const std::int64_t percent = (clamped - low) * 100 / (static_cast<std::int64_t>(high) - low);
  return std::to_wstring(percent) + L"%";
}

}  // namespace quorvex::window
