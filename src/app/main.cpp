#include <QApplication>
#include <QFont>

#include "app/mainwindow.h"

#ifdef EFIS_WITH_VIRTUAL_UNIT
#include "sim/demo_unit.h"
#endif

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // The form is laid out at fixed pixel positions for a font with Arial's metrics; the wider
    // default sans of many Linux desktops clips its longer labels. Keep the platform's size.
    QFont font = QApplication::font();
    font.setFamilies({"Arial", "Liberation Sans", "Helvetica", "Nimbus Sans", font.family()});
    QApplication::setFont(font);
#ifdef EFIS_WITH_VIRTUAL_UNIT
    // No unit needed: a virtual one answers on the USB side.
    sim::install_demo_unit();
#endif
    MainWindow window;
    window.show();
    const int rc = app.exec();
    return rc;
}
