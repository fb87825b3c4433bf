// Asks the platform whether it trusts an executable's Authenticode signature, and adds or
// removes a root certificate in the machine's Root store, for the signing tests under Wine.
//   qv-wintrust verify FILE     prints "0x%08X" and the result's name; exit 0 when trusted
//   qv-wintrust trust CA.pem    adds the certificate to the machine's Root store
//   qv-wintrust untrust CA.pem  removes it again (absent is not an error)
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char* trustResultName(LONG result) {
  switch (static_cast<DWORD>(result)) {
    case 0: return "trusted";
    case 0x800B0100: return "TRUST_E_NOSIGNATURE";
    case 0x800B0109: return "CERT_E_UNTRUSTEDROOT";
    case 0x80096010: return "TRUST_E_BAD_DIGEST";
    case 0x800B010A: return "CERT_E_CHAINING";
    case 0x80096004: return "TRUST_E_CERT_SIGNATURE";
    case 0x800B0004: return "TRUST_E_SUBJECT_NOT_TRUSTED";
    case 0x800B0001: return "TRUST_E_SUBJECT_FORM_UNKNOWN";
    case 0x800B0003: return "TRUST_E_ACTION_UNKNOWN";
    case 0x80092026: return "CRYPT_E_SECURITY_SETTINGS";
    default: return "other";
  }
}

int verify(const wchar_t* path) {
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  // Nothing may be fetched from the network: the throw-away certificates name no URLs anyway.
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  std::printf("0x%08lX %s\n", static_cast<unsigned long>(result), trustResultName(result));
  return result == 0 ? 0 : 1;
}

bool readPemCertificate(const wchar_t* path, std::vector<BYTE>& der) {
  std::ifstream in(path, std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (pem.empty() || !::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                             nullptr, &size, nullptr, nullptr)) {
    return false;
  }
  der.resize(size);
  return ::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                                &size, nullptr, nullptr) != FALSE;
}

int changeRoot(const wchar_t* path, bool add) {
  std::vector<BYTE> der;
  if (!readPemCertificate(path, der)) {
    std::puts("not a PEM certificate");
    return 1;
  }
  // The registry store itself: deleting through the system store's collection does not last under Wine.
  HCERTSTORE store =
      ::CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!store) {
    std::printf("cannot open the Root store (%lu)\n", ::GetLastError());
    return 1;
  }
  int status = 0;
  if (add) {
    if (!::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                            CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      std::printf("cannot add the certificate (%lu)\n", ::GetLastError());
      status = 1;
    } else {
      std::puts("added to Root");
    }
  } else {
    PCCERT_CONTEXT wanted =
        ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    PCCERT_CONTEXT found =
        wanted ? ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr)
               : nullptr;
    if (!found) {
      std::puts("not in Root");
    } else if (!::CertDeleteCertificateFromStore(found)) {  // frees found, also on failure
      std::printf("cannot remove the certificate (%lu)\n", ::GetLastError());
      status = 1;
    } else {
      std::puts("removed from Root");
    }
    if (wanted) ::CertFreeCertificateContext(wanted);
  }
  ::CertCloseStore(store, 0);
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"verify") return verify(argv[2]);
  if (argc == 3 && std::wstring(argv[1]) == L"trust") return changeRoot(argv[2], true);
  if (argc == 3 && std::wstring(argv[1]) == L"untrust") return changeRoot(argv[2], false);
  std::fputs("usage: qv-wintrust verify FILE | trust CA.pem | untrust CA.pem\n", stderr);
  return 2;
}
