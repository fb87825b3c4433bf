#pragma once
// Links to edge servers that serve the storage themselves: stock nginx with its secure_link
// module checks the signature and the expiry that a link carries, and needs nothing else from
// this service.

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvex::service {

// The value nginx's secure_link compares with the link's "md5" argument when configured with
//   secure_link $arg_md5,$arg_expires;
//   secure_link_md5 "$secure_link_expires$uri $secret";
// MD5 over the expiry (decimal seconds since 1970), the decoded request path, a space and the
// secret, in base64url without padding.
std::string SecureLinkSignature(std::int64_t expires, std::string_view uri, std::string_view secret);

class EdgeLinks {
 public:
  // base: "https://HOST[:PORT][/PATH]", the edge's location for the storage root, laid out by
  // storage area and file name. secret: at least 16 characters of letters, digits and - _ . ~ + / =
  // (they stay literal in an nginx configuration). Throws std::invalid_argument otherwise.
  EdgeLinks(std::string_view base, std::string secret, std::int64_t ttlSeconds);

  // The edge URL of area and name (a relative name with "\" or "/" separators, already checked
  // as a storage name), valid until now + the time to live.
  std::string Location(std::string_view area, std::string_view name, std::int64_t now) const;

  // The decoded path the edge sees for area and name: what the signature covers.
  std::string EdgePath(std::string_view area, std::string_view name) const;

 private:
  std::string origin_;    // "https://host[:port]"
  std::string basePath_;  // "" or "/path" without a trailing "/"
  std::string secret_;
  std::int64_t ttl_;
};

// A secret (edge secret, password) from a file: its text without a final line break, as
// editors end files with one.
std::string ReadSecretFile(const std::string& file);

}  // namespace quorvex::service
