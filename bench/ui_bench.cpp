// The window with thousands of channels: the cost on the user-interface thread of one update
// period (every channel's time and file, as the acquisition threads send them between two
// periods) through the window's operator view, with the list shown and painted on the
// offscreen platform; and of a sort of that list.

#include <string>
#include <vector>

#include <QApplication>
#include <QTableView>

#include <benchmark/benchmark.h>

#include "ui/CMainDlg.h"
#include "ui/CWindowView.h"

namespace
{

using namespace tarvell;

std::vector<ChannelRow> Rows(int channels)
{
    std::vector<ChannelRow> rows;
    for (int c = 0; c < channels; ++c)
        rows.push_back({"S" + std::to_string(c / 3),
                        c % 3 == 0   ? "BHZ"
                        : c % 3 == 1 ? "BHN"
                                     : "BHE",
                        "h" + std::to_string(c % 64) + " (xfer)"});
    return rows;
}

void BM_UpdatePeriod(benchmark::State& state)
{
    const int channels = static_cast<int>(state.range(0));
    const std::vector<ChannelRow> rows = Rows(channels);
    CMainDlg window(true);
    window.show();
    CWindowView view(window);
    view.SetChannelRows(rows);
    view.ApplyPending();
    int round = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        const std::string time = "2026:341-13:05:" + std::to_string(10 + round++ % 50) + ".000";
        for (const ChannelRow& row : rows)
        {
            view.SetChannelText(row.station, row.channel, ChannelColumn::LastCountTime, time);
            view.SetChannelText(row.station, row.channel, ChannelColumn::File, row.station + time);
        }
        state.ResumeTiming();
        view.ApplyPending();
        window.ListView().viewport()->repaint();
    }
    state.SetItemsProcessed(state.iterations() * channels * 2);
}
BENCHMARK(BM_UpdatePeriod)->Arg(1000)->Arg(4096)->Unit(benchmark::kMillisecond);

void BM_Sort(benchmark::State& state)
{
    const int channels = static_cast<int>(state.range(0));
    CMainDlg window(true);
    window.show();
    window.List().SetRows(Rows(channels));
    for (auto _ : state)
    {
        window.SortByColumn(4);
        window.ListView().viewport()->repaint();
    }
}
BENCHMARK(BM_Sort)->Arg(4096)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
