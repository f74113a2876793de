// The main of every Qt test binary: a QApplication (a QCoreApplication where
// the binary has no widgets) on the offscreen platform, and an orderly end of
// Qt's drawing threads while the application still lives.
#include <gtest/gtest.h>

#include <QThreadPool>

#ifdef QX_TEST_MAIN_CORE
#include <QCoreApplication>
using TTestApplication = QCoreApplication;
#else
#include <QApplication>
using TTestApplication = QApplication;
#endif

int main(int argc, char** argv) {
  // Test discovery runs the binary without the test environment.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TTestApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int rc = RUN_ALL_TESTS();
  // The painter hands work to threads of Qt's global pool; ending them here
  // keeps the exit from depending on how far they got.
  QThreadPool::globalInstance()->waitForDone();
  return rc;
}
