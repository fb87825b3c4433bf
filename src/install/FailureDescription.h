#pragma once
// A failure as one line of the run log.

#include <exception>
#include <string>

namespace quorvex {

// What the typed failure carries: its kind, the system's code with its text, and its data
// (URL without secrets, path, entry, CRC-32s, lengths, HRESULT).
std::string DescribeFailure(const std::exception_ptr& failure);

}  // namespace quorvex
