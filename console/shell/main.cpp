// build/lookout: the Trellis administration console.
#include <unistd.h>

#include <QApplication>

#include "console/shell/lookout_app.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Nomra Software"));
  QApplication::setApplicationName(QStringLiteral("Lookout"));
  int rc = 0;
  {
    LookoutApp app;
    if (!app.Start()) return 1;
    app.Window()->show();
    rc = QApplication::exec();
    // A session thread still inside a blocking call cannot be waited for without end: the
    // settings are saved by then, so the process leaves without destroying what that thread uses.
    if (!app.Stop(3000)) _exit(rc);
  }
  return rc;
}
