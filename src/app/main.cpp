#include <QApplication>

#include "app/mainwindow.h"

#ifdef EFIS_WITH_VIRTUAL_UNIT
#include "sim/demo_unit.h"
#endif

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
#ifdef EFIS_WITH_VIRTUAL_UNIT
    // No unit needed: a virtual one answers on the USB side.
    sim::install_demo_unit();
#endif
    MainWindow window;
    window.show();
    const int rc = app.exec();
    return rc;
}
