#include "config.h"

#include <functional>
#include <vector>

#include "line_codec.h"

namespace ovr {
namespace {

struct Option {
  const char* name;
  const char* value;  // nullptr for a flag
  const char* help;
  // Sets the value; false when the text is not valid for it.
  std::function<bool(Config&, const std::string&)> set;
  // The default, as text for the usage.
  std::function<std::string(const Config&)> show;
};

bool Port(const std::string& text, uint16_t& port) {
  uint64_t v = 0;
  if (!ovt::ParseNumber(text, &v) || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

template <typename T>
bool Count(const std::string& text, T& out) {
  uint64_t v = 0;
  if (!ovt::ParseNumber(text, &v) || v == 0 || v > 1000000) return false;
  out = static_cast<T>(v);
  return true;
}

std::string ShowDuration(Seconds s) {
  long long n = s.count();
  if (n != 0 && n % 86400 == 0) return std::to_string(n / 86400) + "d";
  if (n != 0 && n % 3600 == 0) return std::to_string(n / 3600) + "h";
  if (n != 0 && n % 60 == 0) return std::to_string(n / 60) + "m";
  return std::to_string(n) + "s";
}

std::string ShowBytes(uint64_t n) {
  for (const char* unit : {"", "K", "M", "G"}) {
    if (n % 1024 != 0 || n < 1024) return std::to_string(n) + unit;
    n /= 1024;
  }
  return std::to_string(n) + "T";
}

#define OVR_TEXT(field) \
  [](Config& c, const std::string& v) { c.field = v; return !v.empty(); }, \
  [](const Config& c) { return c.field; }
#define OVR_COUNT(field) \
  [](Config& c, const std::string& v) { return Count(v, c.limits.field); }, \
  [](const Config& c) { return std::to_string(c.limits.field); }
#define OVR_DURATION(field) \
  [](Config& c, const std::string& v) { return ParseDuration(v, c.limits.field); }, \
  [](const Config& c) { return ShowDuration(c.limits.field); }
// A listener that is off unless its port is given.
#define OVR_OPTIONAL_PORT(field) \
  [](Config& c, const std::string& v) { uint16_t p = 0; return Port(v, p) && (c.field = p, true); }, \
  [](const Config&) { return std::string("off"); }
#define OVR_FLAG(field) \
  [](Config& c, const std::string&) { return c.field = true; }, [](const Config&) { return std::string("off"); }
#define OVR_BYTES(field) \
  [](Config& c, const std::string& v) { return ParseBytes(v, c.limits.field) && c.limits.field > 0; }, \
  [](const Config& c) { return ShowBytes(c.limits.field); }

const std::vector<Option>& Options() {
  static const std::vector<Option> options = {
      {"root", "DIR", "folder that receives the uploads (made if missing; required)", OVR_TEXT(root)},
      {"users", "FILE", "lines user:hash, made by ovreceiver passwd (required)", OVR_TEXT(users)},
      {"port", "N", "upload port, 0 picks a free one",
       [](Config& c, const std::string& v) { return Port(v, c.port); },
       [](const Config& c) { return std::to_string(c.port); }},
      {"bind", "ADDR", "address to listen on", OVR_TEXT(bind)},
      {"http-port", "N", "serve duration and still posts (0 picks a free port; off if absent)",
       OVR_OPTIONAL_PORT(http_port)},
      {"log", "FILE", "completed-files log", [](Config& c, const std::string& v) {
         c.log = v;
         return !v.empty();
       },
       [](const Config&) { return std::string("ROOT/.ovreceiver/received.log"); }},
      {"sync", nullptr, "flush each file to disk before moving it into place", OVR_FLAG(sync)},
      {"tls-cert", "FILE", "PEM certificate chain for TLS on both ports (the server's first)", OVR_TEXT(tls_cert)},
      {"tls-key", "FILE", "its PEM private key", OVR_TEXT(tls_key)},
      {"http-plain", nullptr, "serve the HTTP endpoint in clear (uploads stay TLS)", OVR_FLAG(http_plain)},
      {"plain", nullptr, "no TLS at all, for a trusted network: names, passwords and files cross it readable",
       OVR_FLAG(plain)},
      {"metrics-port", "N", "serve Prometheus metrics at /metrics (0 picks a free port; off if absent)",
       OVR_OPTIONAL_PORT(metrics_port)},
      {"metrics-bind", "ADDR", "address of the metrics listener", OVR_TEXT(metrics_bind)},
      {"login-timeout", "TIME", "a connection must log in within this time", OVR_DURATION(login_timeout)},
      {"pending-per-address", "N", "connections not yet logged in, per client address",
       OVR_COUNT(pending_per_address)},
      {"pending-total", "N", "connections not yet logged in, in all", OVR_COUNT(pending_total)},
      {"login-attempts", "N", "failed LOGINs before a connection is closed", OVR_COUNT(login_attempts)},
      {"login-delay-max", "TIME", "longest wait imposed on an address or user after failed LOGINs",
       OVR_DURATION(login_delay_max)},
      {"claim-wait", "TIME", "how long a PUT waits for another connection to give up the file",
       OVR_DURATION(claim_wait)},
      {"partial-bytes-per-user", "BYTES", "unfinished upload data kept per user",
       OVR_BYTES(partial_bytes_per_user)},
      {"partial-max-age", "TIME", "unfinished uploads untouched this long are removed",
       OVR_DURATION(partial_max_age)},
      {"http-per-address", "N", "open HTTP connections per client address", OVR_COUNT(http_per_address)},
      {"http-total", "N", "open HTTP connections in all", OVR_COUNT(http_total)},
      {"http-bytes-per-address", "BYTES", "bytes held by unfinished HTTP requests per client address",
       OVR_BYTES(http_bytes_per_address)},
      {"http-bytes-total", "BYTES", "bytes held by unfinished HTTP requests in all",
       OVR_BYTES(http_bytes_total)},
      {"http-timeout", "TIME", "time allowed for one whole HTTP request", OVR_DURATION(http_timeout)},
  };
  return options;
}

#undef OVR_TEXT
#undef OVR_COUNT
#undef OVR_DURATION
#undef OVR_BYTES
#undef OVR_OPTIONAL_PORT
#undef OVR_FLAG

const Option* Find(const std::string& name) {
  for (const Option& o : Options())
    if (name == o.name) return &o;
  return nullptr;
}

// A number followed by at most one unit letter; false on anything else or on overflow.
bool NumberWithUnit(const std::string& text, uint64_t& number, char& unit) {
  unit = 0;
  std::string digits = text;
  if (!digits.empty() && !(digits.back() >= '0' && digits.back() <= '9')) {
    unit = digits.back();
    digits.pop_back();
  }
  return ovt::ParseNumber(digits, &number);
}

bool Scale(uint64_t number, uint64_t factor, uint64_t& out) {
  if (number > UINT64_MAX / factor) return false;
  out = number * factor;
  return true;
}

}  // namespace

bool ParseDuration(const std::string& text, Seconds& value) {
  uint64_t n = 0, factor = 1;
  char unit = 0;
  if (!NumberWithUnit(text, n, unit)) return false;
  switch (unit) {
    case 0: case 's': factor = 1; break;
    case 'm': factor = 60; break;
    case 'h': factor = 3600; break;
    case 'd': factor = 86400; break;
    default: return false;
  }
  uint64_t seconds = 0;
  // Ten years is more than any limit needs; it keeps time arithmetic far from overflow.
  if (!Scale(n, factor, seconds) || seconds > 10ull * 365 * 86400) return false;
  value = Seconds(static_cast<Seconds::rep>(seconds));
  return true;
}

bool ParseBytes(const std::string& text, uint64_t& value) {
  uint64_t n = 0;
  char unit = 0;
  if (!NumberWithUnit(text, n, unit)) return false;
  const std::string units = "KMGT";
  if (unit == 0) {
    value = n;
    return true;
  }
  size_t power = units.find(unit);
  if (power == std::string::npos) return false;
  return Scale(n, uint64_t{1} << (10 * (power + 1)), value);
}

std::string SetOption(Config& config, const std::string& name, const std::string& value) {
  const Option* o = Find(name);
  if (!o) return "unknown option --" + name;
  if (!o->set(config, value)) return "bad value for --" + name + ": " + value;
  return {};
}

bool IsFlag(const std::string& name) {
  const Option* o = Find(name);
  return o && !o->value;
}

std::string Usage() {
  Config defaults;
  std::string text =
      "usage: ovreceiver [--config FILE] --root DIR --users FILE [options]\n"
      "       ovreceiver passwd FILE USER   (sets USER's password hash in the users file)\n"
      "       ovreceiver --version\n"
      "  --config FILE                  read these options from FILE first (key = value lines)\n";
  for (const Option& o : Options()) {
    std::string left = std::string("  --") + o.name + (o.value ? std::string(" ") + o.value : "");
    if (left.size() < 32) left.resize(32, ' ');
    text += left + ' ' + o.help;
    std::string shown = o.show(defaults);
    if (!shown.empty()) text += " [" + shown + "]";
    text += '\n';
  }
  text += "TIME: seconds, or a number with s, m, h or d; BYTES: a number with K, M, G or T.\n";
  return text;
}

}  // namespace ovr
