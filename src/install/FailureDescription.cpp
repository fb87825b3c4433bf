#include "install/FailureDescription.h"

#include <cstdio>
#include <new>
#include <string>

#include "download/DownloadError.h"
#include "install/FileSystemError.h"
#include "install/SignatureError.h"
#include "install/Shell.h"
#include "install/UnpackError.h"

namespace quorvex {
namespace {

const char* KindName(DownloadFailure kind) {
  switch (kind) {
    case DownloadFailure::kSending: return "sending";
    case DownloadFailure::kReceiving: return "receiving";
    case DownloadFailure::kReading: return "reading";
    case DownloadFailure::kInvalidAddress: return "invalid-address";
    case DownloadFailure::kRedirectRefused: return "redirect-refused";
    case DownloadFailure::kRedirectLimit: return "redirect-limit";
    case DownloadFailure::kServerStatus: return "server-status";
    case DownloadFailure::kProxyAuthentication: return "proxy-authentication";
    case DownloadFailure::kContentCoding: return "content-coding";
    case DownloadFailure::kLengthMismatch: return "length-mismatch";
    case DownloadFailure::kNotText: return "not-text";
    case DownloadFailure::kResources: return "resources";
  }
  return "unknown";
}

const char* KindName(UnpackFailure kind) {
  switch (kind) {
    case UnpackFailure::kNotAPackage: return "not-a-package";
    case UnpackFailure::kRefusedName: return "refused-name";
    case UnpackFailure::kUnsupported: return "unsupported";
    case UnpackFailure::kAmbiguous: return "ambiguous";
    case UnpackFailure::kBadData: return "bad-data";
    case UnpackFailure::kChecksum: return "checksum";
    case UnpackFailure::kFileSystem: return "file-system";
    case UnpackFailure::kResources: return "resources";
  }
  return "unknown";
}

const char* KindName(FileSystemFailure kind) {
  switch (kind) {
    case FileSystemFailure::kCreateFolder: return "create-folder";
    case FileSystemFailure::kCreateFile: return "create-file";
    case FileSystemFailure::kReplace: return "replace";
    case FileSystemFailure::kWrite: return "write";
    case FileSystemFailure::kClose: return "close";
    case FileSystemFailure::kRefused: return "refused";
    case FileSystemFailure::kCheck: return "check";
  }
  return "unknown";
}

const char* KindName(SignatureFailure kind) {
  switch (kind) {
    case SignatureFailure::kUnsigned: return "unsigned";
    case SignatureFailure::kUnbound: return "unbound";
    case SignatureFailure::kWrongRelease: return "wrong-release";
    case SignatureFailure::kTooFewSignatures: return "too-few-signatures";
    case SignatureFailure::kTrailingBytes: return "trailing-bytes";
    case SignatureFailure::kUnknownKey: return "unknown-key";
    case SignatureFailure::kBadSignature: return "bad-signature";
    case SignatureFailure::kCryptography: return "cryptography";
  }
  return "unknown";
}

std::string Hex32(std::uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::string Describe(const DownloadError& error) {
  // The failure holds its URLs redacted and the server's words inert from the start, and its
  // message is made of them: nothing here needs cleaning.
  std::string text = std::string("download failure kind=") + KindName(error.kind());
  if (error.platformCode) text += " code=" + std::to_string(*error.platformCode);
  if (!error.url.empty()) text += " url=" + error.url;
  if (!error.route.empty()) text += " route=\"" + error.route + "\"";
  if (error.status != 0) text += " status=\"" + error.protocol + " " + std::to_string(error.status) + " " + error.reason + "\"";
  if (!error.declared.empty()) text += " declared=" + error.declared;
  if (error.announcedLength >= 0) text += " announced=" + std::to_string(error.announcedLength);
  if (error.receivedLength >= 0) text += " received=" + std::to_string(error.receivedLength);
  return text + ": " + error.what();
}

std::string Describe(const UnpackError& error) {
  std::string text = std::string("unpack failure kind=") + KindName(error.kind());
  if (!error.entry().empty()) text += " entry=\"" + error.entry() + "\"";
  if (error.expectedCrc) text += " expected-crc=" + Hex32(*error.expectedCrc);
  if (error.actualCrc) text += " actual-crc=" + Hex32(*error.actualCrc);
  if (error.fileSystemFailure) text += std::string(" operation=") + KindName(*error.fileSystemFailure);
  if (!error.path.empty()) text += " path=\"" + error.path + "\"";
  if (error.systemCode != 0) text += " code=" + std::to_string(error.systemCode);
  return text + ": " + error.what();
}

std::string Describe(const FileSystemError& error) {
  std::string text = std::string("file-system failure operation=") + KindName(error.kind()) + " path=\"" +
                     error.path() + "\"";
  if (error.systemCode() != 0) text += " code=" + std::to_string(error.systemCode());
  return text + ": " + error.what();
}

}  // namespace

std::string DescribeFailure(const std::exception_ptr& failure) {
  if (!failure) return "no failure";
  try {
    std::rethrow_exception(failure);
  } catch (const DownloadError& error) {
    return Describe(error);
  } catch (const UnpackError& error) {
    return Describe(error);
  } catch (const FileSystemError& error) {
    return Describe(error);
  } catch (const SignatureError& error) {
    std::string text = std::string("signature failure kind=") + KindName(error.kind());
    if (error.systemCode() != 0) text += " code=" + Hex32(error.systemCode());
    if (!error.boundName.empty()) text += " bound=\"" + error.boundName + "\" expected=\"" + error.expectedName + "\"";
    return text + ": " + error.what();
  } catch (const ShellError& error) {
    return "shell failure hresult=" + Hex32(error.systemCode()) + ": " + error.what();
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& error) {
    return std::string("failure: ") + error.what();
  } catch (...) {
    return "failure of an unknown kind";
  }
}

}  // namespace quorvex
