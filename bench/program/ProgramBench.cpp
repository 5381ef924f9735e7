// What the running program costs: its CPU time (user + system, from
// /proc) over 30 s of a stereo recording with a 1 kHz tone playing, in
// percent of one core, the median of three runs:
//
//   BM_ArecordStereo        arecord -f S16_LE -r 48000 -c 2, the yardstick
//   BM_ProgramStereoShown   the program with its window, meters and light
//                           organ on screen (target: at most 3 % of a core)
//   BM_ProgramStereoHidden  the same with the window unmapped, as a window
//                           manager does when it is minimised
//
// Each run also prints its threads (name, percent of a core, wakeups a
// second, from /proc/<pid>/task), the figures a change of pace is judged by;
// the summary gives the medians of CPU and of the whole process's wakeups,
// and both as multiples of arecord's (targets: shown, at most 2 x its
// wakeups; unmapped, at most 2 x its CPU and 1.5 x its wakeups).
//
// Needs an X server with xdotool and a sound server: run it through
// bench/program/run. TONVARA_BENCH_SECONDS changes the 30 s;
// TONVARA_BENCH_PROGRAM measures another build of the program (an older
// one, run in turn with this one: on a shared machine only alternating runs
// compare fairly).
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRuns = 3;
constexpr int kClientHeight = 507;

int MeasureSeconds()
{
    const char* text = std::getenv("TONVARA_BENCH_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 30;
    return seconds > 0 ? seconds : 30;
}

// User plus system CPU seconds in a /proc stat file (a process's or a
// thread's) so far; -1 when it cannot be read.
double StatCpuSeconds(const std::filesystem::path& statFile)
{
    std::ifstream stat(statFile);
    std::string line;
    std::getline(stat, line);
    if (line.empty())
        return -1;
    // The fields after the command name, which may hold blanks.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            user = std::stoull(field);
        if (i == 15)
            system = std::stoull(field);
    }
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

// User plus system CPU seconds of a process so far.
double CpuSeconds(qint64 pid)
{
    return std::max(0.0, StatCpuSeconds("/proc/" + std::to_string(pid) + "/stat"));
}

struct TThreadSample {
    std::string Name;
    double Cpu = 0; // seconds
    unsigned long long Switches = 0; // voluntary and involuntary
};

// Per thread of a process: its name, CPU seconds and context switches so far.
std::map<std::string, TThreadSample> ThreadSamples(qint64 pid)
{
    std::map<std::string, TThreadSample> samples;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
        TThreadSample sample;
        std::ifstream comm(entry.path() / "comm");
        std::getline(comm, sample.Name);
        sample.Cpu = StatCpuSeconds(entry.path() / "stat");
        if (sample.Cpu < 0)
            continue;
        std::string line;
        std::ifstream status(entry.path() / "status");
        while (std::getline(status, line)) {
            if (line.starts_with("voluntary_ctxt_switches:")
                || line.starts_with("nonvoluntary_ctxt_switches:"))
                sample.Switches += std::stoull(line.substr(line.find(':') + 1));
        }
        samples[entry.path().filename().string()] = sample;
    }
    return samples;
}

// Prints each thread's figures; returns the wakeups a second of them all.
double PrintThreads(const std::map<std::string, TThreadSample>& before,
    const std::map<std::string, TThreadSample>& after, double seconds)
{
    double wakeups = 0;
    for (const auto& [tid, sample] : after) {
        const auto old = before.find(tid);
        const TThreadSample start = old != before.end() ? old->second : TThreadSample {};
        std::printf("    %-16s %6.2f %%  %7.1f wakeups/s\n", sample.Name.c_str(),
            100.0 * (sample.Cpu - start.Cpu) / seconds, double(sample.Switches - start.Switches) / seconds);
        wakeups += double(sample.Switches - start.Switches) / seconds;
    }
    std::printf("    %-16s          %7.1f wakeups/s\n", "(all)", wakeups);
    return wakeups;
}

QString Run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// Polls another process's window state: there is no event to wait on.
bool PollUntil(const std::function<bool()>& done, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QThread::msleep(50);
    }
    return true;
}

class TTone {
public:
    TTone()
    {
        FProcess.start("sox",
            { "-n", "-q", "-t", "pulseaudio", "default", "synth", "3600", "sine", "1000", "vol", "0.5" });
        FProcess.waitForStarted(5000);
    }
    ~TTone()
    {
        FProcess.kill();
        FProcess.waitForFinished(5000);
    }

private:
    QProcess FProcess;
};

struct TCost {
    double Cpu = -1; // percent of one core
    double Wakeups = 0; // a second, all threads
};

// What Pid cost over the measured seconds.
TCost Measure(qint64 pid)
{
    const double before = CpuSeconds(pid);
    const auto threadsBefore = ThreadSamples(pid);
    QElapsedTimer wall;
    wall.start();
    QThread::sleep(MeasureSeconds());
    const double cpu = CpuSeconds(pid) - before;
    const double seconds = double(wall.nsecsElapsed()) * 1e-9;
    const double percent = 100.0 * cpu / seconds;
    std::printf("  %.2f %% of a core:\n", percent);
    const double wakeups = PrintThreads(threadsBefore, ThreadSamples(pid), seconds);
    std::fflush(stdout);
    return { percent, wakeups };
}

TCost ArecordOnce()
{
    QTemporaryDir dir;
    TTone tone;
    QProcess arecord;
    arecord.start("arecord", { "-q", "-f", "S16_LE", "-r", "48000", "-c", "2", dir.filePath("a.wav") });
    if (!arecord.waitForStarted(5000))
        return {};
    QThread::sleep(2);
    const TCost percent = Measure(arecord.processId());
    arecord.terminate();
    arecord.waitForFinished(5000);
    return percent;
}

TCost ProgramOnce(bool shown)
{
    QTemporaryDir dir;
    QProcess program;
    program.setWorkingDirectory(dir.path());
    const char* other = std::getenv("TONVARA_BENCH_PROGRAM");
    program.start(other != nullptr && *other != 0 ? other : TONVARA_PROGRAM, {});
    if (!program.waitForStarted(10000))
        return {};
    QString window;
    PollUntil(
        [&] {
            window
                = Run("xdotool", { "search", "--onlyvisible", "--name", "^Velmora  " }).section('\n', 0, 0);
            return !window.isEmpty();
        },
        20000);
    // The splash box stays on top for its three seconds.
    PollUntil(
        [&] {
            return Run("xdotool", { "search", "--onlyvisible", "--name", "^Velmora$" }).isEmpty();
        },
        20000);
    const QString geometry = Run("xdotool", { "getwindowgeometry", window });
    const int height = geometry.section("x", -1).toInt();
    const int top = height - kClientHeight;
    auto click = [&](int x, int y) {
        Run("xdotool",
            { "mousemove", "--window", window, QString::number(x), QString::number(y + top), "click", "1" });
    };
    TTone tone;
    click(227, 451); // the switch to stereo
    click(124, 419); // "Kayda Başla"
    QThread::sleep(2);
    if (!shown)
        Run("xdotool", { "windowunmap", window });
    QThread::sleep(1);
    const TCost percent = Measure(program.processId());
    program.terminate();
    program.waitForFinished(10000);
    return percent;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

TCost gArecord;

void Report(benchmark::State& state, const char* name, const std::function<TCost()>& once)
{
    std::vector<double> cpu;
    std::vector<double> wakeups;
    for (auto _ : state) {
        for (int i = 0; i < kRuns; ++i) {
            const TCost cost = once();
            cpu.push_back(cost.Cpu);
            wakeups.push_back(cost.Wakeups);
        }
    }
    const double median = Median(cpu);
    const double wakeupsMedian = Median(wakeups);
    state.counters["cpu_percent"] = median;
    state.counters["wakeups"] = wakeupsMedian;
    std::printf("%s: %.2f %% of a core (runs %.2f %.2f %.2f), %.0f wakeups/s (runs %.0f %.0f %.0f)\n", name,
        median, cpu[0], cpu[1], cpu[2], wakeupsMedian, wakeups[0], wakeups[1], wakeups[2]);
    if (gArecord.Cpu > 0 && std::string(name) != "arecord") {
        state.counters["x_arecord"] = median / gArecord.Cpu;
        state.counters["wakeups_x_arecord"] = wakeupsMedian / gArecord.Wakeups;
        std::printf("%s: %.2f x arecord's CPU, %.2f x its wakeups\n", name, median / gArecord.Cpu,
            wakeupsMedian / gArecord.Wakeups);
    }
    std::fflush(stdout);
}

void BM_ArecordStereo(benchmark::State& state)
{
    Report(state, "arecord", [] { return ArecordOnce(); });
    gArecord = { state.counters["cpu_percent"], state.counters["wakeups"] };
}

void BM_ProgramStereoShown(benchmark::State& state)
{
    Report(state, "program, window shown", [] { return ProgramOnce(true); });
}

void BM_ProgramStereoHidden(benchmark::State& state)
{
    Report(state, "program, window unmapped", [] { return ProgramOnce(false); });
}

} // namespace

BENCHMARK(BM_ArecordStereo)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ProgramStereoShown)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ProgramStereoHidden)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_MAIN();
