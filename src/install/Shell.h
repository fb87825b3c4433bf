#pragma once
// The shell port: special folders, shell links, starting a program, the processor.

#include <memory>
#include <stdexcept>
#include <string>

namespace quorvex {

// Raised when the shell's link object itself cannot be created.
class ShellError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ProcessorArchitecture { X86, X64, Arm64, Other };

struct ShellLinkFields {
  std::string description;
  std::string targetPath;
  std::string arguments;
  std::string workingDirectory;
};

// A shell link object made for one step; released when the step's owner drops it.
class ShellLink {
 public:
  virtual ~ShellLink() = default;
  // Loads a link file read-only; false when it cannot be loaded.
  virtual bool Load(const std::string& linkPath) = 0;
  // The raw stored target (no search for a moved target); empty when there is none.
  virtual std::string RawTarget() = 0;
  // Sets, in this order, description, target, arguments, working directory.
  virtual void SetFields(const ShellLinkFields& fields) = 0;
  // Saves to linkPath without making it the object's current file; false on failure.
  virtual bool SaveAs(const std::string& linkPath) = 0;
};

class Shell {
 public:
  virtual ~Shell() = default;
  // Current path of a special folder for the current user; empty when the lookup fails.
  virtual std::string SpecialFolderPath(int csidl) = 0;
  // A new link object; throws ShellError when it cannot be created.
  virtual std::unique_ptr<ShellLink> CreateLink() = 0;
  // Asks the shell to carry out verb on file; the answer is not reported.
  virtual void Execute(const std::string& verb, const std::string& file, const std::string& parameters,
                       const std::string& directory, int showCommand) = 0;
  // The native processor architecture of the system, not of this process.
  virtual ProcessorArchitecture NativeArchitecture() = 0;
};

}  // namespace quorvex
