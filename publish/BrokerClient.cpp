// The broker connection's plumbing: the client library set up, connected,
// serviced and flushed, and its error codes turned into sentences.
#include "publish/BrokerClient.h"

#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace qxbroker {

using TSteady = std::chrono::steady_clock;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::now().time_since_epoch())
      .count();
}

std::string Where(const TPublishSettings& s) {
  return s.Host + ":" + std::to_string(s.Port);
}

namespace {

void LibInit() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

void OnConnect(mosquitto*, void* obj, int rc) {
  static_cast<TClientEvents*>(obj)->Connack = rc;
}
void OnDisconnect(mosquitto*, void* obj, int) {
  static_cast<TClientEvents*>(obj)->Lost = true;
}
void OnPublish(mosquitto*, void* obj, int mid) {
  static_cast<TClientEvents*>(obj)->Acked.push_back(mid);
}
void OnLog(mosquitto*, void* obj, int, const char* text) {
  // Only TLS failures are kept; the library never logs the password.
  if (!text) return;
  if (std::strstr(text, "OpenSSL") || std::strstr(text, "certificate") ||
      std::strstr(text, "TLS")) {
    auto* ev = static_cast<TClientEvents*>(obj);
    if (ev->TlsLog.size() < 1000) ev->TlsLog += std::string(ev->TlsLog.empty() ? "" : "; ") + text;
  }
}

std::string ConnackText(int rc, const TPublishSettings& s) {
  switch (rc) {
    case 1:
      return "The broker at " + Where(s) + " does not speak this MQTT version.";
    case 2:
      return "The broker at " + Where(s) + " refused the client identifier.";
    case 3:
      return "The broker at " + Where(s) + " is unavailable at the moment.";
    case 4:
    case 5:
      return "The broker at " + Where(s) + " refused the user name or password (not authorised).";
    default:
      return "The broker at " + Where(s) + " refused the connection (code " + std::to_string(rc) +
             ").";
  }
}

}  // namespace

std::string FailureText(int rc, int err, const TClientEvents& ev, const TPublishSettings& s) {
  if (rc == MOSQ_ERR_EAI) return "No such host: " + s.Host + " (the name is not known).";
  if (rc == MOSQ_ERR_TLS || (!ev.TlsLog.empty() && s.TLS)) {
    if (ev.TlsLog.find("verify failed") != std::string::npos ||
        ev.TlsLog.find("certificate") != std::string::npos)
      return "The broker's certificate is not trusted (" + Where(s) +
             "): it is not signed by the CA " +
             (s.CAFile.empty() ? std::string("of the system store") : "file " + s.CAFile) +
             " or was made for another host name.";
    return "The TLS connection to " + Where(s) + " failed" +
           (ev.TlsLog.empty() ? std::string(".") : ": " + ev.TlsLog);
  }
  if (rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_CONN_REFUSED) {
    if (err == ECONNREFUSED)
      return "The broker at " + Where(s) + " refused the connection (nothing listens there).";
    if (err != 0)
      return "The broker at " + Where(s) + " cannot be reached: " + std::strerror(err) + ".";
  }
  if (rc == MOSQ_ERR_CONN_LOST) return "The connection to the broker at " + Where(s) + " was lost.";
  std::string why = mosquitto_strerror(rc);
  if (!why.empty() && why.back() == '.') why.pop_back();
  return "The connection to " + Where(s) + " failed: " + why + ".";
}

mosquitto* NewClient(const TPublishSettings& s, TClientEvents* ev, std::string* error) {
  LibInit();
  mosquitto* m = mosquitto_new(nullptr, true, ev);
  if (!m) {
    *error = "The MQTT client could not be created.";
    return nullptr;
  }
  mosquitto_connect_callback_set(m, OnConnect);
  mosquitto_disconnect_callback_set(m, OnDisconnect);
  mosquitto_publish_callback_set(m, OnPublish);
  mosquitto_log_callback_set(m, OnLog);
  mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
  // Our own window limits what is in flight; the library must not hold
  // messages back in a queue of its own.
  mosquitto_max_inflight_messages_set(m, 0);
  int rc = MOSQ_ERR_SUCCESS;
  if (!s.Username.empty())
    rc = mosquitto_username_pw_set(m, s.Username.c_str(),
                                   s.Password.empty() ? nullptr : s.Password.c_str());
  const std::string status = StationTopic(s) + "/status";
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_will_set(m, status.c_str(), 7, "offline", s.QoS, true);
  if (rc == MOSQ_ERR_SUCCESS && s.TLS) {
    if (s.CAFile.empty()) {
      rc = mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    } else {
      rc = mosquitto_tls_set(m, s.CAFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    // The certificate and the host name it was made for are both checked.
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(m, 1, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(m, false);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = std::string("The MQTT client refused the settings: ") + mosquitto_strerror(rc) + ".";
    mosquitto_destroy(m);
    return nullptr;
  }
  return m;
}

int Service(mosquitto* m, int waitMs, int wakeFd) {
  pollfd fds[2];
  int n = 0;
  const int sock = mosquitto_socket(m);
  if (sock < 0) return MOSQ_ERR_NO_CONN;
  fds[n++] = pollfd{sock, short(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
  if (wakeFd >= 0) fds[n++] = pollfd{wakeFd, POLLIN, 0};
  const int r = ::poll(fds, nfds_t(n), waitMs);
  if (r < 0 && errno != EINTR) return MOSQ_ERR_ERRNO;
  int rc = MOSQ_ERR_SUCCESS;
  if (r > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
    rc = mosquitto_loop_read(m, 100);
    // Acknowledge at once: a broker that holds back small packets (Nagle)
    // would otherwise wait for our delayed ACK before sending the next
    // acknowledgements, and the window would stall for tens of milliseconds.
    const int one = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(m)) rc = mosquitto_loop_write(m, 100);
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(m);
  if (wakeFd >= 0 && n == 2 && (fds[1].revents & POLLIN)) {
    uint64_t v;
    if (::read(wakeFd, &v, sizeof v) < 0) {
      // Nothing was pending after all.
    }
  }
  return rc;
}

bool ConnectClient(mosquitto* m, TClientEvents& ev, const TPublishSettings& s, int keepAliveS,
                   int timeoutMs, const std::atomic<bool>* stop, int wakeFd, std::string* error) {
  errno = 0;
  int rc = mosquitto_connect(m, s.Host.c_str(), s.Port, keepAliveS);
  const int err = errno;
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = FailureText(rc, err, ev, s);
    return false;
  }
  const int64_t deadline = SteadyMs() + timeoutMs;
  while (ev.Connack < 0) {
    if (stop && stop->load()) {
      *error = "Stopped.";
      return false;
    }
    const int64_t left = deadline - SteadyMs();
    if (left <= 0) {
      *error = "The broker at " + Where(s) + " did not answer" +
               (s.TLS ? std::string(" (does it offer TLS on this port?).")
                      : std::string(" (does it expect TLS?)."));
      return false;
    }
    errno = 0;
    rc = Service(m, int(std::min<int64_t>(left, 200)), wakeFd);
    if (ev.Connack > 0) break;  // refused: the library reports it as an error too
    if (rc != MOSQ_ERR_SUCCESS || ev.Lost) {
      const int e = errno;
      if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) rc = MOSQ_ERR_CONN_LOST;
      *error = FailureText(rc, e, ev, s);
      return false;
    }
  }
  if (ev.Connack != 0) {
    *error = ConnackText(ev.Connack, s);
    return false;
  }
  return true;
}

bool Flush(mosquitto* m, int packets) {
  if (!mosquitto_want_write(m)) return true;
  const int sock = mosquitto_socket(m);
  const int cork = 1, uncork = 0;
  ::setsockopt(sock, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
  const int rc = mosquitto_loop_write(m, std::max(packets, 1));
  ::setsockopt(sock, IPPROTO_TCP, TCP_CORK, &uncork, sizeof uncork);
  // A full socket buffer is no failure: Service writes the rest.
  return rc == MOSQ_ERR_SUCCESS || (rc == MOSQ_ERR_ERRNO && errno == EAGAIN);
}

}  // namespace qxbroker
