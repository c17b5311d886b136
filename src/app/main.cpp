#include <QApplication>
#include <QFont>

#include <cstdio>

#include "app/mainwindow.h"
#include "operations/operations.h"

#ifdef EFIS_WITH_VIRTUAL_UNIT
#include <QDebug>

#include <chrono>
#include <string>
#include <vector>

#include "app/sim_menu.h"
#include "sim/environment.h"
#include "sim/hid_backend.h"
#endif

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // What the window says is kept, for a program started from the desktop's menu has no terminal.
    operations::start_program_log(
        "efis-config", [](const std::string& text) { std::fprintf(stderr, "efis-config: %s\n", text.c_str()); });
    // The form is laid out at fixed pixel positions for a font with Arial's metrics; the wider
    // default sans of many Linux desktops clips its longer labels. Keep the platform's size.
    QFont font = QApplication::font();
    font.setFamilies({"Arial", "Liberation Sans", "Helvetica", "Nimbus Sans", font.family()});
    QApplication::setFont(font);
#ifdef EFIS_WITH_VIRTUAL_UNIT
    // No unit needed: virtual ones answer on the USB side, as EFIS_SIM_* describe them
    // (sim/environment.h); each restarts after the reboot frame.
    std::vector<std::string> problems;
    const auto units = sim::make_units(sim::read_environment(&problems));
    for (const std::string& problem : problems) {
        qWarning().noquote() << QString::fromStdString(problem);
    }
    for (const auto& unit : units) {
        unit->set_latency(std::chrono::microseconds(200)); // progress bars visibly move
        sim::plug(unit);
    }
#endif
    MainWindow window;
#ifdef EFIS_WITH_VIRTUAL_UNIT
    add_virtual_unit_menu(window, units);
#endif
    window.show();
    const int rc = app.exec();
    operations::stop_program_log();
    return rc;
}
