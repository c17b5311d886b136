// GUI-side cost of a 4 MiB firmware upload against a zero-latency virtual unit: how many progress
// updates reach the GUI thread, and the longest stall of its event loop while they do.
//   build/bench/bench_gui_progress --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>

#include <cstring>
#include <memory>
#include <vector>

#include "app/mainwindow.h"
#include "efis_shared/firmware.h"
#include "efis_shared/mem_layout.h"
#include "tests/app/app_test_support.h"

namespace {

QString write_image(const QTemporaryDir& dir)
{
    const uint32_t encrypted = FW_BANK_BLOCKS * MX25_BLOCK_SIZE - sizeof(firmware_header_t);
    firmware_header_t h{};
    h.total_size = encrypted + sizeof h;
    h.plaintext_size = encrypted;
    h.encrypted_size = encrypted;
    std::vector<char> bytes(sizeof h + encrypted, '\x5A');
    std::memcpy(bytes.data(), &h, sizeof h);
    const QString path = dir.filePath("fw4m.bin");
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes.data(), static_cast<qint64>(bytes.size()));
    return path;
}

void BM_FirmwareUploadGuiLoad(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString path = write_image(dir);
    for (auto _ : state) {
        auto unit = apptest::plug_demo_unit();
        unit->set_latency(std::chrono::microseconds(0));
        unit->set_logging(false);
        std::unique_ptr<MainWindow> w;
        {
            apptest::StreamCapture out(1);
            w = std::make_unique<MainWindow>();
        }
        apptest::chooseFileInNextDialog(path);
        w->findChild<QPushButton*>("pushButton_browse")->click();

        int posts = 0;
        QObject::connect(w->findChild<QStatusBar*>("statusbar"), &QStatusBar::messageChanged,
                         [&posts](const QString& m) { posts += m.startsWith("Erasing") || m.startsWith("Uploading"); });

        // A 1 ms timer: the largest gap between its ticks is the longest the loop was blocked.
        QElapsedTimer sinceTick;
        qint64 worstGapMs = 0;
        QTimer tick;
        tick.setInterval(1);
        QObject::connect(&tick, &QTimer::timeout, [&]() { worstGapMs = std::max(worstGapMs, sinceTick.restart()); });

        apptest::StreamCapture out(1);
        QElapsedTimer run;
        run.start();
        w->findChild<QPushButton*>("pushButton_start_update")->click();
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
        if (w->findChild<QStatusBar*>("statusbar")->currentMessage() != "Firmware update completed") {
            state.SkipWithError("upload did not complete");
        }
        w.reset();
        sim::unplug_all();
    }
}

} // namespace

BENCHMARK(BM_FirmwareUploadGuiLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
