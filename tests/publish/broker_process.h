#pragma once
// A real mosquitto broker for tests and the bench: started on a free loopback
// port with a generated configuration in a folder of its own, every wait
// bounded, killed at the end. Also a small subscriber that collects what the
// broker delivers, and the openssl calls that make a CA and a broker
// certificate.
#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"

extern char** environ;

namespace qxtest {

inline int64_t MonoMs() {
  return SteadyMs();
}

// Polls cond every few milliseconds until it holds or timeoutMs passed.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  return WaitUntil(cond, timeoutMs, 5);
}

inline int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

inline bool PortAccepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

inline int Run(const std::string& cmd) {
  const int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline bool Executable(const std::string& path) {
  return ::access(path.c_str(), X_OK) == 0;
}

inline std::string BrokerProgram() {
  for (const char* p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"})
    if (Executable(p)) return p;
  return std::string();
}

// A CA, and a broker certificate it signed for localhost and 127.0.0.1; a
// second CA that signed nothing, for the untrusted case.
struct TTlsFiles {
  std::string Ca, Cert, Key, OtherCa;
  bool Make(const std::string& dir) {
    Ca = dir + "/ca.crt";
    Cert = dir + "/broker.crt";
    Key = dir + "/broker.key";
    OtherCa = dir + "/other-ca.crt";
    const std::string d = "'" + dir + "'";
    std::ofstream(dir + "/san.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    return Run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=QxTestCA -keyout " + d +
               "/ca.key -out " + d + "/ca.crt") == 0 &&
           Run("openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout " + d +
               "/broker.key -out " + d + "/broker.csr") == 0 &&
           Run("openssl x509 -req -in " + d + "/broker.csr -CA " + d + "/ca.crt -CAkey " + d +
               "/ca.key -CAcreateserial -days 2 -extfile " + d + "/san.ext -out " + d +
               "/broker.crt") == 0 &&
           Run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=OtherCA -keyout " + d +
               "/other-ca.key -out " + d + "/other-ca.crt") == 0;
  }
};

struct TBrokerConfig {
  std::string User, Password;  // set: anonymous clients are refused
  const TTlsFiles* Tls = nullptr;
  bool Persistent = false;  // sessions and queued messages survive a restart
};

class TBroker {
 public:
  using TConfig = TBrokerConfig;

  TBroker() = default;
  ~TBroker() { Stop(); }
  TBroker(const TBroker&) = delete;
  TBroker& operator=(const TBroker&) = delete;

  // Starts on `port` (0: a free one) in `dir`; true once it accepts
  // connections.
  bool Start(const std::string& dir, const TConfig& cfg = TConfig(), int port = 0) {
    Stop();
    const std::string exe = BrokerProgram();
    if (exe.empty()) return false;
    dir_ = dir;
    port_ = port ? port : FreeLoopbackPort();
    const std::string conf = dir + "/mosquitto.conf";
    {
      std::ofstream f(conf);
      f << "listener " << port_ << " 127.0.0.1\n"
        << (cfg.Persistent ? "persistence true\npersistence_location " + dir + "/\n"
                           : std::string("persistence false\n"))
        << "log_dest file " << dir << "/mosquitto.log\n"
        << "log_type error\nlog_type warning\nlog_type notice\n"
        << "max_queued_messages 0\n"
        << "max_inflight_messages 0\n";
      // Started as root the broker would switch to its own user, which may
      // not read this folder.
      if (::geteuid() == 0) f << "user root\n";
      if (!cfg.User.empty()) {
        const std::string pw = dir + "/passwords";
        ::unlink(pw.c_str());
        if (Run("mosquitto_passwd -b -c '" + pw + "' '" + cfg.User + "' '" + cfg.Password + "'") !=
            0)
          return false;
        ::chmod(pw.c_str(), 0600);
        f << "allow_anonymous false\npassword_file " << pw << "\n";
      } else {
        f << "allow_anonymous true\n";
      }
      if (cfg.Tls)
        f << "cafile " << cfg.Tls->Ca << "\ncertfile " << cfg.Tls->Cert << "\nkeyfile "
          << cfg.Tls->Key << "\n";
    }
    std::vector<std::string> args = {exe, "-c", conf};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, (dir + "/stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
      pid_ = -1;
      return false;
    }
    const int p = port_;
    if (!WaitFor([p] { return PortAccepts(p); }, 10000)) {
      Stop();
      return false;
    }
    return true;
  }
  // The same broker again on the same port.
  bool Restart(const TConfig& cfg = TConfig()) { return Start(dir_, cfg, port_); }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    WaitOrKill(pid_, 5000);
    pid_ = -1;
  }
  bool Running() const { return pid_ > 0; }
  int Port() const { return port_; }
  // CPU time the broker process has used (user and system), ms.
  double CpuMs() const {
    std::ifstream f("/proc/" + std::to_string(pid_) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = all.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream in(all.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
      if (i == 14) utime = std::atof(field.c_str());
      if (i == 15) stime = std::atof(field.c_str());
    }
    return (utime + stime) * 1000.0 / double(::sysconf(_SC_CLK_TCK));
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Collects every message of the topics it subscribed to, on the library's
// own thread.
class TSubscriber {
 public:
  struct TMessage {
    std::string Topic, Payload;
    bool Retained = false;
    int64_t AtUs = 0;  // steady clock
  };

  ~TSubscriber() { Stop(); }

  // clientId set: a lasting session, so that the broker keeps what arrives
  // while this subscriber is away.
  bool Start(int port, const std::string& pattern, const std::string& user = std::string(),
             const std::string& password = std::string(),
             const std::string& clientId = std::string()) {
    mosquitto_lib_init();
    m_ = mosquitto_new(clientId.empty() ? nullptr : clientId.c_str(), clientId.empty(), this);
    if (!m_) return false;
    pattern_ = pattern;
    if (!user.empty()) mosquitto_username_pw_set(m_, user.c_str(), password.c_str());
    mosquitto_connect_callback_set(m_, [](mosquitto* m, void* obj, int rc) {
      auto* self = static_cast<TSubscriber*>(obj);
      if (rc == 0) mosquitto_subscribe(m, nullptr, self->pattern_.c_str(), 1);
    });
    mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* obj, int, int, const int*) {
      auto* self = static_cast<TSubscriber*>(obj);
      std::lock_guard<std::mutex> g(self->lock_);
      self->subscribed_ = true;
    });
    mosquitto_message_callback_set(m_, [](mosquitto*, void* obj, const mosquitto_message* msg) {
      auto* self = static_cast<TSubscriber*>(obj);
      TMessage m;
      m.Topic = msg->topic;
      m.Payload.assign(static_cast<const char*>(msg->payload), size_t(msg->payloadlen));
      m.Retained = msg->retain;
      m.AtUs = std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
                   .count();
      std::lock_guard<std::mutex> g(self->lock_);
      self->messages_.push_back(std::move(m));
      if (self->OnMessage) self->OnMessage(self->messages_.back());
    });
    mosquitto_int_option(m_, MOSQ_OPT_TCP_NODELAY, 1);
    if (mosquitto_connect(m_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return false;
    // Reconnects by itself when the broker comes back.
    mosquitto_reconnect_delay_set(m_, 1, 1, false);
    if (mosquitto_loop_start(m_) != MOSQ_ERR_SUCCESS) return false;
    return WaitFor([this] { return Subscribed(); }, 10000);
  }
  void Stop() {
    if (!m_) return;
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, true);
    mosquitto_destroy(m_);
    m_ = nullptr;
  }
  bool Subscribed() {
    std::lock_guard<std::mutex> g(lock_);
    return subscribed_;
  }
  // After a broker restart the subscription must be made again.
  void ForgetSubscription() {
    std::lock_guard<std::mutex> g(lock_);
    subscribed_ = false;
  }
  std::vector<TMessage> Messages() {
    std::lock_guard<std::mutex> g(lock_);
    return messages_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(lock_);
    return messages_.size();
  }
  // Called on the library's thread with the lock held.
  std::function<void(const TMessage&)> OnMessage;

 private:
  mosquitto* m_ = nullptr;
  std::string pattern_;
  std::mutex lock_;
  bool subscribed_ = false;
  std::vector<TMessage> messages_;
};

}  // namespace qxtest
