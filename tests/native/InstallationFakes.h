#pragma once
// In-memory ports for the installation run and the shortcut code. Every effect is appended to
// one shared log, so a test can read the order in which the run touched the outside world.

#include "install/FileSystem.h"
#include "install/InstallerUi.h"
#include "install/Shell.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace quorvex::testing {

using EventLog = std::vector<std::string>;

// Files are byte strings keyed by path. Shell links are files whose content is "LNK:" followed by
// the target, so the fake shell and the fake file system see the same folders.
class FakeFileSystem : public FileSystem {
 public:
  explicit FakeFileSystem(EventLog& log) : log_(log) {}

  static constexpr std::uint32_t kAccessDenied = 5;        // ERROR_ACCESS_DENIED
  static constexpr std::uint32_t kSharingViolation = 32;  // ERROR_SHARING_VIOLATION

  std::map<std::string, std::string> files;
  std::set<std::string> folders;
  std::set<std::string> undeletable;  // RemoveFile refuses these (the file stays)
  std::set<std::string> locked;       // in use: CreateOutputFile throws for these
  std::set<std::string> unmakeable;   // CreateFolderTree throws for these
  std::set<std::string> vanishing;    // written without error, yet absent afterwards
  std::set<std::string> partial;      // each Write stores at most 3 bytes: callers must continue
  bool writesStoreNothing = false;    // every Write stores 0 bytes

  bool FileExists(const std::string& path) override { return files.contains(path); }
  bool FolderExists(const std::string& path) override { return folders.contains(path); }
  bool RemoveFile(const std::string& path) override {
    log_.push_back("delete " + path);
    if (undeletable.contains(path)) return false;
    return files.erase(path) > 0;
  }
  void CreateFolderTree(const std::string& path) override {
    log_.push_back("mkdir " + path);
    if (unmakeable.contains(path)) throw FileSystemError(FileSystemFailure::kCreateFolder, path, kAccessDenied, "access denied");
    folders.insert(path);
  }
  std::unique_ptr<OutputFile> CreateOutputFile(const std::string& path) override {
    log_.push_back("create " + path);
    if (locked.contains(path)) throw FileSystemError(FileSystemFailure::kCreateFile, path, kSharingViolation, "in use");
    files[path].clear();
    return std::make_unique<File>(*this, path);
  }
  bool ApplyAttributes(const std::string&, std::uint32_t) override { return true; }

  std::string Content(const std::string& path) const {
    const auto found = files.find(path);
    return found == files.end() ? "<missing>" : found->second;
  }

 private:
  class File : public OutputFile {
   public:
    File(FakeFileSystem& owner, std::string path) : owner_(owner), path_(std::move(path)) {}
    std::size_t Write(const std::uint8_t* data, std::size_t size) override {
      if (owner_.writesStoreNothing) return 0;
      const std::size_t stored = owner_.partial.contains(path_) && size > 3 ? 3 : size;
      owner_.files[path_].append(reinterpret_cast<const char*>(data), stored);
      return stored;
    }
    bool SetTimes(DosDateTime) override { return true; }
    void Close() override {
      owner_.log_.push_back("close " + path_);
      if (owner_.vanishing.contains(path_)) owner_.files.erase(path_);
    }

   private:
    FakeFileSystem& owner_;
    std::string path_;
  };

  EventLog& log_;
};

class FakeShell : public Shell {
 public:
  FakeShell(EventLog& log, FakeFileSystem& files) : log_(log), files_(files) {}

  std::map<int, std::string> specialFolders = {{0, "C:\\Users\\ana\\Desktop"},
                                               {2, "C:\\Users\\ana\\Start Menu\\Programs"}};
  ProcessorArchitecture architecture = ProcessorArchitecture::X64;
  bool linkObjectFails = false;
  static constexpr std::uint32_t kClassNotRegistered = 0x80040154;  // REGDB_E_CLASSNOTREG

  std::string SpecialFolderPath(int csidl) override {
    const auto found = specialFolders.find(csidl);
    return found == specialFolders.end() ? std::string() : found->second;
  }
  std::unique_ptr<ShellLink> CreateLink() override {
    log_.push_back("new link");
    if (linkObjectFails) throw ShellError(ShellFailure::kCreateLinkObject, kClassNotRegistered, "class not registered");
    return std::make_unique<Link>(*this);
  }
  std::uint32_t Execute(const std::string& verb, const std::string& file, const std::string& parameters,
                        const std::string& directory, int showCommand) override {
    log_.push_back("execute " + verb + " " + file + " [" + parameters + "] [" + directory + "] " +
                   std::to_string(showCommand));
    return executeAnswer;
  }
  ProcessorArchitecture NativeArchitecture() override { return architecture; }
  std::uint32_t executeAnswer = 42;  // above 32: started
  std::set<std::string> unsavable;    // SaveAs fails for these

 private:
  class Link : public ShellLink {
   public:
    explicit Link(FakeShell& owner) : owner_(owner) {}
    bool Load(const std::string& linkPath) override {
      owner_.log_.push_back("load " + linkPath);
      const auto found = owner_.files_.files.find(linkPath);
      if (found == owner_.files_.files.end() || !found->second.starts_with("LNK:")) return false;
      target_ = found->second.substr(4);
      return true;
    }
    std::string RawTarget() override { return target_; }
    void SetFields(const ShellLinkFields& fields) override {
      owner_.log_.push_back("fields " + fields.description + " | " + fields.targetPath + " | " + fields.arguments +
                            " | " + fields.workingDirectory);
      target_ = fields.targetPath;
    }
    bool SaveAs(const std::string& linkPath) override {
      owner_.log_.push_back("save " + linkPath);
      if (owner_.unsavable.contains(linkPath)) return false;
      owner_.files_.files[linkPath] = "LNK:" + target_;
      return true;
    }

   private:
    FakeShell& owner_;
    std::string target_;
  };

  EventLog& log_;
  FakeFileSystem& files_;
};

class FakeUi : public InstallerUi {
 public:
  explicit FakeUi(EventLog& log) : log_(log) {}
  void ShowProgress() override { log_.push_back("show progress"); }
  void ShowError(const std::string& text, const std::string& caption) override {
    log_.push_back("error " + caption + ": " + text);
  }
  void RequestEnd() override { log_.push_back("end"); }

 private:
  EventLog& log_;
};

}  // namespace quorvex::testing
