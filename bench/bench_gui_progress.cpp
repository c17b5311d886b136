// GUI-side cost of a 4 MiB firmware upload (256 KiB in the short run) against a zero-latency
// virtual unit: how many progress updates reach the GUI thread, and the longest stall of its event
// loop while they do.
//   BM_FirmwareUploadGuiLoad: the plain upload (the box "Back up the settings, restart the EFIS and
//     restore them afterwards" unchecked).
//   BM_GuidedUpdateGuiLoad: the guided update with that box checked, of an image that states a
//     version, against a unit that restarts in 200 ms and comes back with a fresh record: the
//     backup, the upload, the restart, the restore of every setting and the form's load after it.
//   build/bench/bench_gui_progress --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

#include "app/mainwindow.h"
#include "bench/short_run.h"
#include "efis_shared/firmware.h"
#include "efis_shared/mem_layout.h"
#include "tests/support/files.h"
#include "tests/support/stream_capture.h"
#include "tests/support/unit.h"
#include "tests/support/window.h"

namespace {

constexpr uint32_t kVersion030 = 0x00030000;

// A firmware image that fills a whole bank (256 KiB in the short run), stating `version` (0: none).
std::string write_image(const support::TempDir& dir, uint32_t version)
{
    const uint32_t encrypted = bench::sized(FW_BANK_BLOCKS * MX25_BLOCK_SIZE, 256u << 10) - sizeof(firmware_header_t);
    firmware_header_t h{};
    h.magic = 0x46575631;
    h.version = version;
    h.total_size = encrypted + sizeof h;
    h.plaintext_size = encrypted;
    h.encrypted_size = encrypted;
    return dir.write("fw" + std::to_string(version) + ".bin",
                     support::firmware_image(h, std::vector<uint8_t>(encrypted, 0x5A)));
}

void measure(benchmark::State& state, bool guided)
{
    support::TempDir dir;
    const QString path = QString::fromStdString(write_image(dir, guided ? kVersion030 : 0));
    if (path.isEmpty()) {
        state.SkipWithError("cannot write the image");
        return;
    }
    for (auto _ : state) {
        auto unit = support::plug_demo_unit();
        unit->set_latency(std::chrono::microseconds(0));
        unit->set_logging(false);
        unit->set_restart_time(std::chrono::milliseconds(200));
        unit->set_update_resets_settings(true);
        std::unique_ptr<MainWindow> w;
        {
            support::StreamCapture out(1);
            w = std::make_unique<MainWindow>();
        }
        support::chooseFileInNextDialog(path);
        w->findChild<QPushButton*>("pushButton_browse")->click();
        w->findChild<QCheckBox*>("checkBox_keep_settings")->setChecked(guided);

        int posts = 0;
        QObject::connect(w->findChild<QStatusBar*>("statusbar"), &QStatusBar::messageChanged,
                         [&posts](const QString& m) { posts += m.startsWith("Erasing") || m.startsWith("Uploading"); });

        // A 1 ms timer: the largest gap between its ticks is the longest the loop was blocked.
        QElapsedTimer sinceTick;
        qint64 worstGapMs = 0;
        QTimer tick;
        tick.setInterval(1);
        QObject::connect(&tick, &QTimer::timeout, [&]() { worstGapMs = std::max(worstGapMs, sinceTick.restart()); });

        support::StreamCapture out(1);
        QElapsedTimer run;
        {
            // The guided update asks first; the question is answered before the run is timed.
            support::MessageBoxes update("Update");
            w->findChild<QPushButton*>("pushButton_start_update")->click();
        }
        run.start();
        sinceTick.start();
        tick.start();
        while (w->transferRunning()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        tick.stop();
        const double seconds = static_cast<double>(run.elapsed()) / 1000.0;
        out.restore();

        state.counters["posts"] = posts;
        state.counters["posts_per_s"] = posts / seconds;
        state.counters["run_s"] = seconds;
        state.counters["max_loop_stall_ms"] = static_cast<double>(worstGapMs);
        const QString status = w->findChild<QStatusBar*>("statusbar")->currentMessage();
        if (guided ? !status.startsWith("Firmware 0.3.0 installed; ") || !status.endsWith(" setting(s) restored")
                   : status != "Firmware update completed") {
            state.SkipWithError(guided ? "the guided update did not complete" : "upload did not complete");
        }
        w.reset();
        sim::unplug_all();
    }
}

void BM_FirmwareUploadGuiLoad(benchmark::State& state)
{
    measure(state, false);
}

void BM_GuidedUpdateGuiLoad(benchmark::State& state)
{
    measure(state, true);
}

} // namespace

BENCHMARK(BM_FirmwareUploadGuiLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_GuidedUpdateGuiLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The guided update's backups and the settings' history land here, not in the home directory.
    support::TempDir state;
    qputenv("XDG_STATE_HOME", state.path().string().c_str());
    QApplication app(argc, argv);
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
