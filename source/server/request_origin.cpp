#include "server/request_origin.h"

#include <algorithm>
#include <string_view>

#include "platform/platform.h"
#include "server/answers.h"
#include "text/text_util.h"

namespace {

bool isHexDigit(char c) { return isAsciiDigit(c) || (c >= 'a' && c <= 'f'); }

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Four decimal numbers from 0 to 255 joined by dots, none with a leading
// zero (which some readers take for octal): the only way a browser writes an
// IPv4 address in a Host header.
bool isDottedQuad(std::string_view text) {
  int parts = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = std::min(text.find('.', start), text.size());
    const std::string_view part = text.substr(start, dot - start);
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    if (!std::all_of(part.begin(), part.end(), isAsciiDigit)) return false;
    if (std::stoi(std::string(part)) > 255) return false;
    ++parts;
    if (dot == text.size()) break;
    start = dot + 1;
  }
  return parts == 4;
}

// An IPv6 address as written between brackets (lower case, no zone): eight
// groups of one to four hex digits, or fewer around one "::", the last two
// of which may be written as an IPv4 address.
bool isIpv6Address(std::string_view text) {
  int groups = 0;
  bool shortened = false;
  std::size_t at = 0;
  if (text.substr(0, 2) == "::") {
    shortened = true;
    at = 2;
    if (at == text.size()) return true;
  }
  for (;;) {
    const std::size_t colon = std::min(text.find(':', at), text.size());
    const std::string_view group = text.substr(at, colon - at);
    if (colon == text.size() && group.find('.') != std::string_view::npos) {
      if (!isDottedQuad(group)) return false;
      groups += 2;
      break;
    }
    if (group.empty() || group.size() > 4 || !std::all_of(group.begin(), group.end(), isHexDigit)) return false;
    ++groups;
    if (colon == text.size()) break;
    at = colon + 1;
    if (at < text.size() && text[at] == ':') {
      if (shortened) return false;
      shortened = true;
      if (++at == text.size()) break;
    } else if (at == text.size()) {
      return false;
    }
  }
  return shortened ? groups < 8 : groups == 8;
}

// Labels of letters, digits, "-" and "_" joined by single dots.
bool isWellFormedName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = std::min(name.find('.', start), name.size());
    const std::string_view label = name.substr(start, dot - start);
    if (label.empty() || label.size() > 63) return false;
    for (char c : label) {
      if (!isAsciiDigit(c) && !(c >= 'a' && c <= 'z') && c != '-' && c != '_') return false;
    }
    if (dot == name.size()) return true;
    start = dot + 1;
  }
}

// Browsers read a name whose last label is a number (decimal, or hex after
// "0x") as an IPv4 address in one of its older forms ("0x7f.1", "2130706433");
// such a Host is either a dotted quad or not from a browser at all.
bool endsInNumber(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  std::string_view last = dot == std::string_view::npos ? name : name.substr(dot + 1);
  if (last.substr(0, 2) == "0x") return std::all_of(last.begin() + 2, last.end(), isHexDigit);
  return !last.empty() && std::all_of(last.begin(), last.end(), isAsciiDigit);
}

// A port: up to five digits, at most 65535; empty means none given.
bool readPort(std::string_view text, std::optional<unsigned>& port) {
  if (text.empty()) return true;
  if (text.size() > 5 || !std::all_of(text.begin(), text.end(), isAsciiDigit)) return false;
  const unsigned value = static_cast<unsigned>(std::stoul(std::string(text)));
  if (value > 65535) return false;
  port = value;
  return true;
}

// Names that only resolve inside a home network: a public name server
// answers none of them, so no web site can point one at this computer.
const char* const kHomeSuffixes[] = {".localhost", ".local",    ".lan",         ".home",
                                     ".home.arpa", ".internal", ".localdomain", ".fritz.box"};

std::string householdNetworkAddress;
int householdPort = 0;

std::string householdAddress(const httplib::Request& request) {
  const int port = householdPort > 0 ? householdPort : request.local_port;
  std::string address = "http://" + (householdNetworkAddress.empty() ? "localhost" : householdNetworkAddress);
  if (port > 0) address += ":" + std::to_string(port);
  return address + "/";
}

std::vector<std::string> lookUpOwnNames() {
  std::vector<std::string> names;
  const std::vector<std::string> found = platform::computerNames();
  if (found.empty()) return names;
  auto firstLabel = [](const std::string& name) { return name.substr(0, name.find('.')); };
  const std::string hostName = toLowerAscii(found.front());
  for (const std::string& name : found) {
    std::string lower = toLowerAscii(name);
    if (endsWith(lower, ".")) lower.pop_back();
    // A full name is taken only when it extends the host name: a name server
    // that answers with some other name (a search page's, say) adds nothing.
    if (lower.empty() || firstLabel(lower) != firstLabel(hostName)) continue;
    names.push_back(lower);
    names.push_back(firstLabel(lower));
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

bool isWriteMethod(const std::string& method) { return method == "PUT" || method == "DELETE" || method == "POST"; }

}  // namespace

std::optional<HostAndPort> readHostHeader(const std::string& value) {
  const std::string text = toLowerAscii(value);
  HostAndPort result;
  std::string_view rest;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || !isIpv6Address(std::string_view(text).substr(1, close - 1))) return std::nullopt;
    result.host = text.substr(0, close + 1);
    rest = std::string_view(text).substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return std::nullopt;
  } else {
    const std::size_t colon = std::min(text.find(':'), text.size());
    result.host = text.substr(0, colon);
    rest = std::string_view(text).substr(colon);
    // A browser may send the name as typed, with the dot that ends a fully
    // qualified name; it names the same computer.
    if (endsWith(result.host, ".")) result.host.pop_back();
    if (!isWellFormedName(result.host)) return std::nullopt;
  }
  if (!rest.empty() && !readPort(rest.substr(1), result.port)) return std::nullopt;
  return result;
}

bool isHouseholdHost(const std::string& host, const std::vector<std::string>& ownNames) {
  if (!host.empty() && host[0] == '[') return true;
  if (isDottedQuad(host)) return true;
  if (endsInNumber(host)) return false;
  if (host == "localhost" || host.find('.') == std::string::npos) return true;
  for (const char* suffix : kHomeSuffixes) {
    if (endsWith(host, suffix)) return true;
  }
  return std::find(ownNames.begin(), ownNames.end(), host) != ownNames.end();
}

bool isCrossSiteOrigin(const std::vector<std::string>& origins, const std::string* host) {
  if (origins.empty()) return false;
  if (origins.size() > 1 || !host) return true;
  const std::optional<HostAndPort> target = readHostHeader(*host);
  const std::string origin = toLowerAscii(origins.front());
  unsigned defaultPort = 0;
  std::string_view authority;
  if (startsWith(origin, "http://")) {
    defaultPort = 80;
    authority = std::string_view(origin).substr(7);
  } else if (startsWith(origin, "https://")) {
    defaultPort = 443;
    authority = std::string_view(origin).substr(8);
  } else {
    return true;  // "null" (a sandboxed page, a file, a redirect) and any other scheme
  }
  const std::optional<HostAndPort> source = readHostHeader(std::string(authority));
  if (!target || !source) return true;
  return source->host != target->host || source->port.value_or(defaultPort) != target->port.value_or(defaultPort);
}

const std::vector<std::string>& ownHostNames() {
  static const std::vector<std::string> names = lookUpOwnNames();
  return names;
}

void setHouseholdAddress(const std::string& networkAddress, int port) {
  householdNetworkAddress = networkAddress;
  householdPort = port;
}

bool answerForeignRequest(const httplib::Request& request, httplib::Response& response) {
  const std::size_t hostCount = request.get_header_value_count("Host");
  const std::string host = request.get_header_value("Host");
  if (hostCount > 0) {
    const std::optional<HostAndPort> target = readHostHeader(host);
    // The computer's own names are looked up only for a name the fixed
    // rules refuse, so that no ordinary request waits for the name server.
    const bool household = hostCount == 1 && target &&
                           (isHouseholdHost(target->host, {}) || isHouseholdHost(target->host, ownHostNames()));
    if (!household) {
      const std::string message = "This calendar answers only at the household's own addresses. Open " +
                                  householdAddress(request) + " instead.";
      if (startsWith(request.path, "/api/")) {
        sendJson(response, 421, nlohmann::json{{"error", message}});
      } else {
        response.status = 421;
        setNoStore(response);
        response.set_content(message + "\n", "text/plain; charset=utf-8");
      }
      return true;
    }
  }
  if (!isWriteMethod(request.method)) return false;
  std::vector<std::string> origins;
  for (std::size_t i = 0; i < request.get_header_value_count("Origin"); ++i) {
    origins.push_back(request.get_header_value("Origin", i));
  }
  if (!isCrossSiteOrigin(origins, hostCount > 0 ? &host : nullptr)) return false;
  sendJson(response, 403, nlohmann::json{{"error", "Changes from other web sites are not accepted."}});
  return true;
}
