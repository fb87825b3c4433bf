// qv-service: the reference download service over HTTPS.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
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
#include <vector>

#include "AccessLog.h"
#include "DownloadService.h"
#include "EdgeLink.h"
#include "MetricsServer.h"
#include "ServiceServer.h"

namespace {

using quorvex::service::AccessLog;
using quorvex::service::DownloadService;
using quorvex::service::EdgeLinks;
using quorvex::service::ServerLimits;
using quorvex::service::ServiceServer;
using quorvex::service::ServiceAccount;
using quorvex::service::StorageRoot;

constexpr const char* kUsage =
    "usage: qv-service --cert FILE --key FILE --storage DIR [--listen HOST:PORT] [--base-path PATH]\n"
    "                  [--user NAME] [--password-file FILE] [--port-file FILE] [--max-connections N]\n"
    "                  [--stop-grace SECONDS] [--header-timeout SECONDS] [--idle-timeout SECONDS]\n"
    "                  [--edge-base URL --edge-secret-file FILE [--edge-ttl SECONDS]]\n"
    "                  [--metrics-listen HOST:PORT [--metrics-port-file FILE]]\n"
    "  --listen HOST:PORT   address to listen on (default 127.0.0.1:8443; port 0 picks a free one)\n"
    "  --cert, --key        PEM certificate (chain) and private key for HTTPS\n"
    "  --storage DIR        storage root; each folder in it is a storage area\n"
    "  --base-path PATH     API base path (default /admin); the endpoint is PATH/files/download\n"
    "  --user NAME          account user name (default Tellavorne)\n"
    "  --password-file FILE account password: the file's text without a final line break\n"
    "  --port-file FILE     write the bound port there once listening\n"
    "  --max-connections N  connections held at once (default 10000); more are closed on accept\n"
    "  --stop-grace SECONDS on SIGINT/SIGTERM, time for transfers under way to finish (default 30)\n"
    "  --header-timeout SECONDS  from a request's first byte to its last header line (default 10)\n"
    "  --idle-timeout SECONDS    between requests on a kept-alive connection (default 30)\n"
    "  --edge-base URL      answer found files with a 307 to https://HOST[:PORT]/PATH/<area>/<name> on an\n"
    "                       nginx edge, signed for its secure_link module\n"
    "  --edge-secret-file FILE  the secret shared with the edge (16+ characters of A-Z a-z 0-9 - _ . ~ + / =)\n"
    "  --edge-ttl SECONDS   how long a signed link stays valid (default 300)\n"
    "  --metrics-listen HOST:PORT  plain HTTP for operators: /metrics (Prometheus text format) and\n"
    "                       /healthz (200 while accepting, 503 while stopping); off by default, and\n"
    "                       never the public address\n"
    "  --metrics-port-file FILE  write the metrics listener's bound port there\n";

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
  ServerLimits limits;
  std::string edgeBase;
  std::string edgeSecretFile;
  std::int64_t edgeTtl = 300;
  std::string metricsHost;  // empty: no metrics listener
  int metricsPort = 0;
  std::string metricsPortFile;
};

// A whole number of seconds in [minimum, maximum].
long ParseSeconds(const std::string& flag, const std::string& text, long minimum, long maximum) {
  std::size_t used = 0;
  long value = -1;
  try {
    value = std::stol(text, &used);
  } catch (const std::exception&) {
  }
  if (used != text.size() || text.empty() || value < minimum || value > maximum) {
    throw UsageError(flag + " needs a whole number from " + std::to_string(minimum) + " to " +
                     std::to_string(maximum) + ", got " + text);
  }
  return value;
}

void ParseListen(const std::string& flag, const std::string& value, std::string& hostOut, int& portOut) {
  const std::size_t colon = value.rfind(':');
  if (colon == std::string::npos || colon == 0) throw UsageError(flag + " needs HOST:PORT, got " + value);
  std::string host = value.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string portText = value.substr(colon + 1);
  std::size_t used = 0;
  int port = -1;
  try {
    port = std::stoi(portText, &used);
  } catch (const std::exception&) {
  }
  if (used != portText.size() || port < 0 || port > 65535) throw UsageError(flag + " has a bad port: " + value);
  hostOut = host;
  portOut = port;
}

std::string ReadPassword(const std::string& file) {
  std::string text = quorvex::service::ReadSecretFile(file);
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
      ParseListen(flag, value, options.host, options.port);
    } else if (flag == "--metrics-listen") {
      ParseListen(flag, value, options.metricsHost, options.metricsPort);
    } else if (flag == "--metrics-port-file") {
      options.metricsPortFile = value;
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
    } else if (flag == "--max-connections") {
      options.limits.maxConnections = static_cast<std::size_t>(ParseSeconds(flag, value, 1, 1000000));
    } else if (flag == "--stop-grace") {
      options.limits.stopGrace = std::chrono::seconds(ParseSeconds(flag, value, 0, 86400));
    } else if (flag == "--header-timeout") {
      options.limits.headerTimeout = std::chrono::seconds(ParseSeconds(flag, value, 1, 3600));
      options.limits.handshakeTimeout = options.limits.headerTimeout;
    } else if (flag == "--idle-timeout") {
      options.limits.idleTimeout = std::chrono::seconds(ParseSeconds(flag, value, 1, 3600));
    } else if (flag == "--edge-base") {
      options.edgeBase = value;
    } else if (flag == "--edge-secret-file") {
      options.edgeSecretFile = value;
    } else if (flag == "--edge-ttl") {
      options.edgeTtl = ParseSeconds(flag, value, 1, 7 * 24 * 3600);
    } else {
      throw UsageError("unknown flag " + flag);
    }
  }
  if (options.cert.empty() || options.key.empty() || options.storage.empty()) {
    throw UsageError("--cert, --key and --storage are required");
  }
  if (options.edgeBase.empty() != options.edgeSecretFile.empty()) {
    throw UsageError("--edge-base and --edge-secret-file go together");
  }
  if (options.edgeBase.empty() && values.count("--edge-ttl")) throw UsageError("--edge-ttl needs --edge-base");
  if (options.metricsHost.empty() && !options.metricsPortFile.empty()) {
    throw UsageError("--metrics-port-file needs --metrics-listen");
  }
  // The counters tell who downloads how much: they stay off the address the public reaches.
  if (!options.metricsHost.empty() && options.metricsPort != 0 && options.metricsPort == options.port) {
    throw UsageError("--metrics-listen must not use the service's own port " + std::to_string(options.port));
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

// Enough descriptors for the connection limit, as far as the hard limit allows.
void RaiseDescriptorLimit(std::size_t connections) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(connections) + 64;
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < wanted) {
    std::cerr << "qv-service: only " << limit.rlim_cur << " file descriptors allowed; fewer connections than "
              << connections << " will be served" << std::endl;
  }
}

boost::asio::ip::tcp::endpoint ResolveListen(boost::asio::io_context& io, const std::string& host, int port) {
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address(host, error);
  if (!error) return {address, static_cast<unsigned short>(port)};
  boost::asio::ip::tcp::resolver resolver(io);
  const auto results = resolver.resolve(host, std::to_string(port), error);
  if (error || results.empty()) throw std::runtime_error("cannot resolve " + host + ": " + error.message());
  return results.begin()->endpoint();
}

int Run(const Options& options) {
  // A client that goes away mid-transfer must not kill the process.
  signal(SIGPIPE, SIG_IGN);

  std::optional<EdgeLinks> edge;
  if (!options.edgeBase.empty()) {
    edge.emplace(options.edgeBase, quorvex::service::ReadSecretFile(options.edgeSecretFile), options.edgeTtl);
  }
  const DownloadService service(StorageRoot(options.storage), ServiceAccount(options.user, options.password),
                                options.basePath, std::move(edge));
  AccessLog log(std::cout);
  const auto tls = quorvex::service::MakeServerTlsContext(options.cert, options.key);
  RaiseDescriptorLimit(options.limits.maxConnections);

  boost::asio::io_context io;
  ServiceServer server(io, service, log, tls.get(), options.limits, ResolveListen(io, options.host, options.port));
  std::optional<quorvex::service::MetricsServer> metrics;
  if (!options.metricsHost.empty()) {
    metrics.emplace(io, ResolveListen(io, options.metricsHost, options.metricsPort),
                    quorvex::service::MetricsSource{[&server] { return server.MetricsText(); },
                                                    [&server] { return !server.Stopping(); }});
    std::cerr << "qv-service: metrics on http://" << options.metricsHost << ":" << metrics->Port() << "/metrics"
              << std::endl;
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(options.metricsHost, error);
    if (error || !address.is_loopback()) {
      std::cerr << "qv-service: warning: the metrics listener is not on loopback; it answers anyone who reaches "
                << options.metricsHost << " without TLS or a password" << std::endl;
    }
    if (!options.metricsPortFile.empty()) WritePortFile(options.metricsPortFile, metrics->Port());
  }
  std::cerr << "qv-service: listening on https://" << options.host << ":" << server.Port() << service.EndpointPath()
            << " serving " << options.storage << (options.edgeBase.empty() ? "" : " through " + options.edgeBase)
            << std::endl;
  if (!options.portFile.empty()) WritePortFile(options.portFile, server.Port());

  // The first signal stops accepting and lets transfers finish; a second one closes them at once.
  auto signalStrand = boost::asio::make_strand(io);
  boost::asio::signal_set signals(signalStrand, SIGINT, SIGTERM);
  std::function<void(const boost::system::error_code&, int)> onSignal = [&](const boost::system::error_code& error,
                                                                            int) {
    if (error) return;
    signals.async_wait(onSignal);
    server.Stop([&] {
      // /healthz has said 503 since the stop began; once the last transfer is done it goes too.
      if (metrics) metrics->Stop();
      boost::asio::post(signalStrand, [&] {
        boost::system::error_code ignored;
        signals.cancel(ignored);
      });
    });
  };
  signals.async_wait(onSignal);
  server.Start();
  if (metrics) metrics->Start();

  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> workers;
  for (unsigned i = 1; i < threads; ++i) workers.emplace_back([&io] { io.run(); });
  io.run();
  for (auto& worker : workers) worker.join();
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
