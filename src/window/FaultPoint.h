#pragma once
// Places where the tests make the installer fail as a machine short of memory would. The
// function is compiled into each program (src/window/FaultPoint.cpp): empty in the installer
// that ships, armed only in a test build made with QUORVEX_FAULT_POINTS, where the
// environment variable QUORVEX_FAULT names the point that throws std::bad_alloc.

namespace quorvex::window {

void FaultPoint(const char* name);

}  // namespace quorvex::window

#define QUORVEX_FAULT_POINT(name) ::quorvex::window::FaultPoint(name)
