#pragma once
// Which requests come from the household. A web page elsewhere can point a
// name of its own at this computer (DNS rebinding) and then read and change
// the calendar as a page of that name; and any page can send a form to the
// server. So the server answers only requests sent to a name that stays
// inside the household's own network, and takes changes only from its own
// pages (or from tools, which send no Origin).
#include <httplib.h>

#include <optional>
#include <string>
#include <vector>

// A Host header or an Origin's host and port, read as browsers write them.
struct HostAndPort {
  std::string host;  // lower case, without a trailing dot; an IPv6 address keeps its brackets
  std::optional<unsigned> port;
};

// Reads a Host header's value: a name or an IPv4 address, or an IPv6
// address in brackets, each with an optional port. Nothing when the value is
// malformed (an empty or invalid name, a port that is no port, an unclosed
// bracket, anything after it).
std::optional<HostAndPort> readHostHeader(const std::string& value);

// True when `host` (from readHostHeader) names a computer on the household's
// own network: an IPv4 address (written as four decimal numbers; other
// numeric forms are refused) or an IPv6 address; localhost or a name under
// .localhost; a single-label name; a name under one of the home-network
// suffixes (.local, .lan, .home, .home.arpa, .internal, .localdomain,
// .fritz.box); or one of `ownNames`, this computer's names (lower case).
// Every other name may be one that a web site controls.
bool isHouseholdHost(const std::string& host, const std::vector<std::string>& ownNames);

// True when a request with these Origin header values, sent to a Host header
// value (`host`, null without one), comes from a page of another site: an
// Origin whose scheme, host and port do not name the Host ("null" never
// does, nor do two Origin headers). A Host without a port stands for the
// default port of the Origin's scheme. No Origin at all is no other site.
bool isCrossSiteOrigin(const std::vector<std::string>& origins, const std::string* host);

// The names the computer calls itself, lower case: its host name, that name
// without its domain, and its full name when the system knows one. Looked up
// on the first call, when a request first needs them, then kept for the run;
// callers that come meanwhile wait for that lookup. Takes no lock of its own.
const std::vector<std::string>& ownHostNames();

// The address the refusal of a foreign name tells the family to use:
// "http://" + the banner's network address + ":" + port + "/", or with
// "localhost" when the computer has no network address. main sets it once,
// before the server serves; until then the port a request came in on is used.
void setHouseholdAddress(const std::string& networkAddress, int port);

// Run for every request before routing and before any body is read. Fills in
// the refusal and returns true when the request is sent to a name outside the
// household (421) or is a write from another site's page (403); the caller
// ends the connection after it. Takes no lock.
bool answerForeignRequest(const httplib::Request& request, httplib::Response& response);
