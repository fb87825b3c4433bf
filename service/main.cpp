// qv-service: the reference download service over HTTPS.

#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "DownloadService.h"

namespace {

using quorvex::service::DownloadService;
using quorvex::service::ServiceAccount;
using quorvex::service::StorageRoot;

constexpr const char* kUsage =
    "usage: qv-service --cert FILE --key FILE --storage DIR [--listen HOST:PORT] [--base-path PATH]\n"
    "                  [--user NAME] [--password-file FILE] [--port-file FILE]\n"
    "  --listen HOST:PORT   address to listen on (default 127.0.0.1:8443; port 0 picks a free one)\n"
    "  --cert, --key        PEM certificate (chain) and private key for HTTPS\n"
    "  --storage DIR        storage root; each folder in it is a storage area\n"
    "  --base-path PATH     API base path (default /admin); the endpoint is PATH/files/download\n"
    "  --user NAME          account user name (default Tellavorne)\n"
    "  --password-file FILE account password: the file's text without a final line break\n"
    "  --port-file FILE     write the bound port there once listening\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string host = "127.0.0.1";
  int port = 8443;
  std::string cert;
  std::string key;
  std::string storage;
  std::string basePath = "/admin";
  std::string user = "Tellavorne";
  std::string password = "&vOlt_582%";
  std::string portFile;
};

void ParseListen(const std::string& value, Options& options) {
  const std::size_t colon = value.rfind(':');
  if (colon == std::string::npos || colon == 0) throw UsageError("--listen needs HOST:PORT, got " + value);
  std::string host = value.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string portText = value.substr(colon + 1);
  std::size_t used = 0;
  int port = -1;
  try {
    port = std::stoi(portText, &used);
  } catch (const std::exception&) {
  }
  if (used != portText.size() || port < 0 || port > 65535) throw UsageError("--listen has a bad port: " + value);
  options.host = host;
  options.port = port;
}

std::string ReadPassword(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the password file " + file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Editors end files with a line break; it is not part of the password.
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.empty()) throw std::runtime_error("the password file " + file + " holds no password");
  return text;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  std::map<std::string, std::string> values;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    std::string value;
    if (flag == "--help" || flag == "-h") throw UsageError("");
    if (const std::size_t equals = flag.find('='); flag.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = flag.substr(equals + 1);
      flag = flag.substr(0, equals);
    } else {
      if (i + 1 >= argc) throw UsageError(flag + " needs a value");
      value = argv[++i];
    }
    if (!values.emplace(flag, value).second) throw UsageError(flag + " given twice");
  }
  for (const auto& [flag, value] : values) {
    if (flag == "--listen") {
      ParseListen(value, options);
    } else if (flag == "--cert") {
      options.cert = value;
    } else if (flag == "--key") {
      options.key = value;
    } else if (flag == "--storage") {
      options.storage = value;
    } else if (flag == "--base-path") {
      options.basePath = value;
    } else if (flag == "--user") {
      options.user = value;
    } else if (flag == "--password-file") {
      options.password = ReadPassword(value);
    } else if (flag == "--port-file") {
      options.portFile = value;
    } else {
      throw UsageError("unknown flag " + flag);
    }
  }
  if (options.cert.empty() || options.key.empty() || options.storage.empty()) {
    throw UsageError("--cert, --key and --storage are required");
  }
  return options;
}

// Written under a temporary name and renamed, so a reader never sees a partial number.
void WritePortFile(const std::string& file, int port) {
  const std::string temporary = file + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << port << "\n";
    if (!out.flush()) throw std::runtime_error("cannot write the port file " + file);
  }
  std::filesystem::rename(temporary, file);
}

int Run(const Options& options) {
  // SIGINT and SIGTERM are taken by sigwait below; every thread started from here inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A client that goes away mid-transfer must not kill the process.
  signal(SIGPIPE, SIG_IGN);

  DownloadService service(StorageRoot(options.storage), ServiceAccount(options.user, options.password),
                          options.basePath, std::cout);

  httplib::SSLServer server(options.cert.c_str(), options.key.c_str());
  if (!server.is_valid()) {
    throw std::runtime_error("cannot use the certificate " + options.cert + " with the key " + options.key);
  }
  // A slow reader (a GUI pumping its events between blocks) gets time before a send gives up.
  server.set_write_timeout(60, 0);
  server.set_read_timeout(30, 0);
  service.Attach(server);

  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port(options.host);
    if (port < 0) throw std::runtime_error("cannot listen on " + options.host + ":0");
  } else if (!server.bind_to_port(options.host, port)) {
    throw std::runtime_error("cannot listen on " + options.host + ":" + std::to_string(port));
  }
  std::cerr << "qv-service: listening on https://" << options.host << ":" << port << service.EndpointPath()
            << " serving " << options.storage << std::endl;
  if (!options.portFile.empty()) WritePortFile(options.portFile, port);

  bool failed = false;
  std::thread listener([&] {
    if (!server.listen_after_bind()) {
      failed = true;
      kill(getpid(), SIGTERM);  // wakes the sigwait below
    }
  });

  int signal = 0;
  sigwait(&stopSignals, &signal);
  // A second signal while connections drain ends the process at once.
  std::thread forced([stopSignals] {
    int again = 0;
    sigwait(&stopSignals, &again);
    std::_Exit(0);
  });
  forced.detach();
  server.stop();
  listener.join();
  if (failed) {
    std::cerr << "qv-service: the listener stopped unexpectedly" << std::endl;
    return 1;
  }
  std::cerr << "qv-service: stopped" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const UsageError& error) {
    if (*error.what()) std::cerr << "qv-service: " << error.what() << "\n";
    std::cerr << kUsage;
    return *error.what() ? 2 : 0;
  } catch (const std::exception& error) {
    std::cerr << "qv-service: " << error.what() << std::endl;
    return 2;
  }
  try {
    return Run(options);
  } catch (const std::exception& error) {
    std::cerr << "qv-service: " << error.what() << std::endl;
    return 1;
  }
}
