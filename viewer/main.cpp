// quilex-view: opens log files of Quilex Assistant and shows them with the
// diagram's plot, of any size, while they are still being written.
#include <time.h>

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "common/QxFormat.h"
#include "viewer/ViewWindow.h"

namespace {

double MonotonicMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string StatusLine(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(key, 0) == 0) return line;
  return std::string(key) + " ?";
}

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: quilex-view [--timing] [--quit-when-read] [FILE...]\n"
               "  Shows log files of Quilex Assistant; several files make one time line.\n"
               "  Without a file an open dialog is shown; files can be dropped on the window.\n"
               "  --timing          print when the first picture and the end of reading\n"
               "                    happen (steady clock, ms) and the memory used\n"
               "  --quit-when-read  end once the files are read and drawn\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool timing = false, quitWhenRead = false;
  QStringList files;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      Usage(stdout);
      return 0;
    } else if (std::strcmp(a, "--timing") == 0) {
      timing = true;
    } else if (std::strcmp(a, "--quit-when-read") == 0) {
      quitWhenRead = true;
    } else if (std::strcmp(a, "--") == 0) {
      for (++i; i < argc; ++i) files << QString::fromLocal8Bit(argv[i]);
    } else if (a[0] == '-' && a[1] != 0) {
      Usage(stderr);
      return 2;
    } else {
      files << QString::fromLocal8Bit(a);
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("quilex-view");
  LoadFormatSettingsFromLocale();
  qxview::TViewWindow w;
  if (timing || quitWhenRead) {
    w.OnEvent = [&](const char* event) {
      if (timing) {
        std::printf("%s %.1f\n", event, MonotonicMs());
        if (std::strcmp(event, "read") == 0) {
          std::printf("%s\n%s\n", StatusLine("VmRSS").c_str(), StatusLine("VmHWM").c_str());
          std::printf("rows %lld\n", static_cast<long long>(w.Data().Rows()));
          timespec cpu{};
          clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
          std::printf("cpu %.1f\n", cpu.tv_sec * 1000.0 + cpu.tv_nsec / 1e6);
        }
        std::fflush(stdout);
      }
      if (quitWhenRead && std::strcmp(event, "read") == 0)
        QTimer::singleShot(0, &app, &QApplication::quit);
    };
  }
  w.show();
  if (!files.isEmpty())
    w.OpenFiles(files);
  else
    QTimer::singleShot(0, &w, [&w] {
      const QStringList chosen = w.AskOpenFiles ? w.AskOpenFiles() : QStringList();
      if (!chosen.isEmpty()) w.OpenFiles(chosen);
    });
  return app.exec();
}
