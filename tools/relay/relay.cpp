// relay: the mail relay server the service hands its alarm mails to.
//
//   relay [CONFIG]        (default: relay.conf in the current folder)
//
// It accepts HTTP POSTs whose body is a mail request of the service:
//   [smtp:["host",port,"sender","password"]\r\n]   the user's own account
//   To:receiver\r\n
//   Subject:..., Content-Type:..., a blank line and the text
// and delivers each as one mail over SMTP with TLS (SMTPS on port 465,
// STARTTLS, required, on any other port) through the user's account when
// the request names one, through its own configured account otherwise. It
// answers 200 only once the SMTP server has accepted the mail, so the
// service's retry means something; 400 for a request it cannot use, 502
// when the delivery failed.
//
// CONFIG is "key=value" lines:
//   listen=127.0.0.1:8025      address and port to serve (loopback unless
//                              you mean to offer the relay to others)
//   smtp_host=smtp.example.org its own account, used when a request has none
//   smtp_port=465
//   smtp_user=alarm@example.org
//   smtp_password=...
//   from=alarm@example.org     sender of mails through its own account
//   ca_file=/path/ca.pem       optional: trust these CAs instead of the
//                              system's
//   plain_loopback=1           optional: talk plain SMTP to an SMTP server
//                              on 127.0.0.1 / ::1 (a local mail server, or
//                              a test sink); never to any other host
//   verbose=1                  optional: libcurl's SMTP dialogue on stderr
// It prints "relay listening on PORT" once it serves, one line per mail,
// and ends on SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxRequest = 16384;
volatile sig_atomic_t g_stop = 0;

struct Account {
  std::string host;
  int port = 0;
  std::string user;  // also the sender
  std::string password;
};

struct Config {
  std::string listen_host = "127.0.0.1";
  int listen_port = 8025;
  Account own;
  std::string from;
  std::string ca_file;
  bool plain_loopback = false;
  bool verbose = false;
};

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

bool load_config(const char* path, Config& c) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
    if (key == "listen") {
      size_t colon = value.rfind(':');
      if (colon == std::string::npos) return false;
      c.listen_host = value.substr(0, colon);
      if (c.listen_host.size() > 2 && c.listen_host.front() == '[') c.listen_host = c.listen_host.substr(1, c.listen_host.size() - 2);
      c.listen_port = std::atoi(value.c_str() + colon + 1);
    } else if (key == "smtp_host") {
      c.own.host = value;
    } else if (key == "smtp_port") {
      c.own.port = std::atoi(value.c_str());
    } else if (key == "smtp_user") {
      c.own.user = value;
    } else if (key == "smtp_password") {
      c.own.password = value;
    } else if (key == "from") {
      c.from = value;
    } else if (key == "ca_file") {
      c.ca_file = value;
    } else if (key == "plain_loopback") {
      c.plain_loopback = value == "1";
    } else if (key == "verbose") {
      c.verbose = value == "1";
    }
  }
  return c.listen_port >= 0 && c.listen_port < 65536;
}

// A text that goes into a mail head or an SMTP command: nothing in it may
// start a new line or hide a second address.
bool clean_address(const std::string& s) {
  if (s.empty() || s.size() > 254 || s.find('@') == std::string::npos) return false;
  for (unsigned char c : s) {
    if (c <= 0x20 || c == 0x7f || c == '<' || c == '>' || c == ',' || c == ';' || c == '"') return false;
  }
  return true;
}

// One JSON string at p (after its opening quote), escapes undone.
bool json_string(const std::string& s, size_t& p, std::string& out) {
  out.clear();
  while (p < s.size()) {
    char c = s[p++];
    if (c == '"') return true;
    if (c == '\\') {
      if (p >= s.size()) return false;
      char e = s[p++];
      out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
    } else {
      out += c;
    }
  }
  return false;
}

// ["host",port,"sender","password"]
bool parse_account(const std::string& s, Account& a) {
  size_t p = 0;
  auto skip = [&] {
    while (p < s.size() && (s[p] == ' ' || s[p] == '\t')) ++p;
  };
  auto expect = [&](char c) {
    skip();
    if (p >= s.size() || s[p] != c) return false;
    ++p;
    return true;
  };
  if (!expect('[') || !expect('"') || !json_string(s, p, a.host) || !expect(',')) return false;
  skip();
  char* end = nullptr;
  long port = std::strtol(s.c_str() + p, &end, 10);
  if (end == s.c_str() + p || port <= 0 || port > 65535) return false;
  a.port = static_cast<int>(port);
  p = static_cast<size_t>(end - s.c_str());
  if (!expect(',') || !expect('"') || !json_string(s, p, a.user) || !expect(',') || !expect('"') ||
      !json_string(s, p, a.password) || !expect(']'))
    return false;
  for (unsigned char c : a.host) {
    if (c <= 0x20 || c == '/' || c == '@' || c == 0x7f) return false;
  }
  return !a.host.empty() && clean_address(a.user);
}

bool is_loopback(const std::string& host) {
  return host == "127.0.0.1" || host == "::1" || host == "localhost";
}

struct Upload {
  const std::string* data;
  size_t at = 0;
};

size_t read_mail(char* buffer, size_t size, size_t count, void* user) {
  auto* u = static_cast<Upload*>(user);
  size_t n = std::min(size * count, u->data->size() - u->at);
  std::memcpy(buffer, u->data->data() + u->at, n);
  u->at += n;
  return n;
}

// Delivers one mail; "" on success, else the reason.
std::string deliver(const Config& c, const Account& a, const std::string& from, const std::string& to,
                    const std::string& mail) {
  bool plain = c.plain_loopback && is_loopback(a.host);
  bool smtps = !plain && a.port == 465;
  std::string host = a.host.find(':') != std::string::npos ? "[" + a.host + "]" : a.host;
  std::string url = std::string(smtps ? "smtps://" : "smtp://") + host + ":" + std::to_string(a.port);
  CURL* curl = curl_easy_init();
  if (!curl) return "no curl";
  struct curl_slist* rcpt = curl_slist_append(nullptr, ("<" + to + ">").c_str());
  Upload up{&mail};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  if (!plain) curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  if (!c.ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, c.ca_file.c_str());
  if (!a.password.empty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, a.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, a.password.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, ("<" + from + ">").c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_mail);
  curl_easy_setopt(curl, CURLOPT_READDATA, &up);
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 20L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (c.verbose) curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
  CURLcode rc = curl_easy_perform(curl);
  curl_slist_free_all(rcpt);
  curl_easy_cleanup(curl);
  return rc == CURLE_OK ? "" : curl_easy_strerror(rc);
}

std::string date_line() {
  char text[64];
  time_t now = time(nullptr);
  struct tm tm {};
  gmtime_r(&now, &tm);
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &tm);
  return text;
}

// The mail request of a body: 200 with the mail delivered, or the status
// and reason of the refusal.
int handle_mail(const Config& c, const std::string& body, std::string& reason) {
  size_t p = 0;
  Account account = c.own;
  std::string from = c.from;
  auto next_line = [&](std::string& line) {
    size_t e = body.find("\r\n", p);
    if (e == std::string::npos) return false;
    line = body.substr(p, e - p);
    p = e + 2;
    return true;
  };
  std::string line;
  if (!next_line(line)) return reason = "no To line", 400;
  if (line.compare(0, 5, "smtp:") == 0) {
    if (!parse_account(line.substr(5), account)) return reason = "bad smtp line", 400;
    from = account.user;
    if (!next_line(line)) return reason = "no To line", 400;
  }
  if (line.compare(0, 3, "To:") != 0) return reason = "no To line", 400;
  std::string to = trim(line.substr(3));
  if (!clean_address(to)) return reason = "bad receiver", 400;
  if (account.host.empty() || account.port <= 0 || !clean_address(from))
    return reason = "no SMTP account configured", 502;
  // What follows is the service's own head (subject, content type) and
  // text; only the lines that say who sends and who receives are ours.
  std::string rest = body.substr(p);
  if (rest.find("\r\n\r\n") == std::string::npos && rest.compare(0, 2, "\r\n") != 0) return reason = "no mail text", 400;
  std::istringstream head(rest.substr(0, rest.find("\r\n\r\n")));
  for (std::string h; std::getline(head, h);) {
    for (const char* banned : {"to:", "from:", "cc:", "bcc:"}) {
      if (strncasecmp(h.c_str(), banned, std::strlen(banned)) == 0) return reason = "address lines in the mail head", 400;
    }
  }
  std::string mail = "Date: " + date_line() + "\r\nFrom: <" + from + ">\r\nTo: <" + to + ">\r\nMIME-Version: 1.0\r\n";
  // "Subject:=?utf-8?B?...?=" as the service writes it is a valid header.
  mail += rest;
  std::string failed = deliver(c, account, from, to, mail);
  if (!failed.empty()) return reason = failed, 502;
  return 200;
}

void reply(int fd, int status, const std::string& text) {
  const char* word = status == 200 ? "OK" : status == 400 ? "Bad Request" : status == 413 ? "Too Large" : "Bad Gateway";
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + word + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                  std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n" + text;
  size_t done = 0;
  while (done < r.size()) {
    ssize_t n = send(fd, r.data() + done, r.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void serve(const Config& c, int fd) {
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string request;
  char buffer[4096];
  size_t head_end = std::string::npos;
  size_t length = 0;
  for (;;) {
    if (head_end == std::string::npos) {
      head_end = request.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        std::string head = request.substr(0, head_end);
        std::string lower;
        for (char ch : head) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        size_t cl = lower.find("\r\ncontent-length:");
        if (head.compare(0, 5, "POST ") != 0 || cl == std::string::npos) {
          reply(fd, 400, "POST with Content-Length expected\n");
          return;
        }
        length = std::strtoul(head.c_str() + cl + 17, nullptr, 10);
        if (length > kMaxRequest) {
          reply(fd, 413, "request too large\n");
          return;
        }
      }
    }
    if (head_end != std::string::npos && request.size() >= head_end + 4 + length) break;
    if (request.size() > kMaxRequest + 4096) {
      reply(fd, 413, "request too large\n");
      return;
    }
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    request.append(buffer, static_cast<size_t>(n));
  }
  std::string body = request.substr(head_end + 4, length);
  std::string reason;
  int status = handle_mail(c, body, reason);
  std::printf("relay: %d %s\n", status, status == 200 ? "mail accepted" : reason.c_str());
  std::fflush(stdout);
  reply(fd, status, status == 200 ? "ok\n" : reason + "\n");
}

void on_signal(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "relay.conf";
  Config c;
  if (!load_config(path, c)) {
    std::fprintf(stderr, "relay: cannot use %s\n", path);
    return 2;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  bool v6 = c.listen_host.find(':') != std::string::npos;
  int lfd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage ss{};
  socklen_t len = 0;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(c.listen_port));
    if (inet_pton(AF_INET6, c.listen_host.c_str(), &a->sin6_addr) != 1) return 2;
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(c.listen_port));
    if (inet_pton(AF_INET, c.listen_host.c_str(), &a->sin_addr) != 1) return 2;
    len = sizeof *a;
  }
  if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(lfd, 16) != 0) {
    std::fprintf(stderr, "relay: cannot listen on %s:%d\n", c.listen_host.c_str(), c.listen_port);
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  // Port 0 in the configuration: the system picks one, and it is printed.
  getsockname(lfd, reinterpret_cast<sockaddr*>(&ss), &len);
  int port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  std::printf("relay listening on %d\n", port);
  std::fflush(stdout);
  while (!g_stop) {
    pollfd p{lfd, POLLIN, 0};
    if (poll(&p, 1, 500) <= 0) continue;
    int fd = accept(lfd, nullptr, nullptr);
    if (fd < 0) continue;
    serve(c, fd);
    close(fd);
  }
  close(lfd);
  curl_global_cleanup();
  return 0;
}
