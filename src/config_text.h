#pragma once
// Checks and log forms of the configuration texts that reach the wire: the
// key goes into a header and the proxy into the tunnel request.
#include <string>

namespace nerivo {

// A byte below 0x20 or 0x7F: such a text could end a header line early.
bool hasControlCharacter(const std::string& text);

// The proxy as it may be logged: "user:password@host:port" becomes
// "user:***@host:port"; a text without a password is unchanged.
std::string loggedProxy(const std::string& proxy);

// Whether the proxy text, past any credentials, writes a port; without one
// the HTTPS client assumes port 80.
bool proxyHasPort(const std::string& proxy);

// An empty key or the placeholder, the key of the default configuration:
// every request would be refused.
bool isUnsetKey(const std::string& key);

}  // namespace nerivo
