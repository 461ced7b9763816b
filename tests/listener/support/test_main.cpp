// Test main: a Qt application object for the listener's event loop. The
// widget tests get a QApplication on the offscreen platform.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>
#include <memory>

#ifdef LISTENER_WIDGET_TESTS
#include <QApplication>
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
#ifdef LISTENER_WIDGET_TESTS
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
#else
  QCoreApplication app(argc, argv);
#endif
  return RUN_ALL_TESTS();
}
