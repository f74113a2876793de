// Test main of the plot's tests: a QApplication on the offscreen platform,
// and an orderly end of Qt's own drawing threads before the program exits.
#include <gtest/gtest.h>

#include <QApplication>
#include <QThreadPool>

int main(int argc, char** argv) {
  // Test listing runs without the test environment; never need a display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int rc = RUN_ALL_TESTS();
  // The painter hands work to threads of Qt's global pool. End them here,
  // while the application still lives, not in the static destructors after
  // it, so that the exit does not depend on how far they got.
  QThreadPool::globalInstance()->waitForDone();
  return rc;
}
