// Compiled into each program rather than into the window library, so that only a test build
// can carry armed fault points (see FaultPoint.h).
#include "window/FaultPoint.h"

#ifdef QUORVEX_FAULT_POINTS
#include <windows.h>

#include <cstring>
#include <new>
#endif

namespace quorvex::window {

#ifdef QUORVEX_FAULT_POINTS
void FaultPoint(const char* name) {
  char armed[64] = {};
  const DWORD length = ::GetEnvironmentVariableA("QUORVEX_FAULT", armed, sizeof armed);
  if (length > 0 && length < sizeof armed && std::strcmp(armed, name) == 0) throw std::bad_alloc();
}
#else
void FaultPoint(const char*) {}
#endif

}  // namespace quorvex::window
