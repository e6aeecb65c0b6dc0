// bench_migrate: times migrate-shards on three sample stores, for several shard counts.
//
//   bench_migrate [--data DIR] [--baseline PROGRAM] [--repeat N] [--store NAME]...
//
// It makes the stores with sample-store (once: a store already in DIR is reused) and runs a
// destination-mode migration of each into a fresh directory for every shard count K below,
// N times (default 3), printing the median wall time, rows per second (the sum of the result
// line's counters over that time) and the largest peak resident memory of the runs. Before
// each run the store's files are read once, so that every run starts from a warm page cache.
//
//   big    --files 8 --graphs 1300 --seed 12 (about 1 GB of rows)           K = 1, 8, 32
//   mid    --files 4 --graphs 200 --seed 11 (about 150 MB)                   K = 8, 32
//   large  --files 1 --graphs 20 --large-values 15 --scale 0.05 --seed 13    K = 1, 7, 16, 64
//          (one file; 15 values of 20 MiB in graph_meta, semantic_store and nodes)
//
// With --baseline, another build of migrate-shards runs the same cases, alternating with this
// one, and a last column gives this build's time as a fraction of the baseline's. The stores
// live in DIR (default /tmp/bench-migrate), never in the source tree. Not a test.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

namespace {

namespace fs = std::filesystem;

struct Store {
  std::string name;
  std::vector<std::string> sample_arguments;
  std::vector<uint64_t> shard_counts;
};

const std::vector<Store> stores = {
    {"big", {"--files", "8", "--graphs", "1300", "--seed", "12"}, {1, 8, 32}},
    {"mid", {"--files", "4", "--graphs", "200", "--seed", "11"}, {8, 32}},
    {"large",
     {"--files", "1", "--graphs", "20", "--large-values", "15", "--scale", "0.05", "--seed", "13"},
     {1, 7, 16, 64}},
};

struct Options {
  fs::path data = "/tmp/bench-migrate";
  std::optional<fs::path> baseline;
  int repeat = 3;
  std::vector<std::string> only;
};

[[noreturn]] void fail(const std::string& message) {
  fmt::print(stderr, "bench_migrate: {}\n", message);
  std::exit(1);
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view option = argv[i];
    if (i + 1 >= argc) fail(fmt::format("{} needs a value", option));
    std::string_view value = argv[++i];
    if (option == "--data") {
      options.data = value;
    } else if (option == "--baseline") {
      options.baseline = fs::absolute(value);
    } else if (option == "--repeat") {
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), options.repeat);
      if (error != std::errc() || end != value.data() + value.size() || options.repeat < 1)
        fail("--repeat expects a count of at least 1");
    } else if (option == "--store") {
      options.only.emplace_back(value);
    } else {
      fail(fmt::format("unknown argument '{}'", option));
    }
  }
  return options;
}

struct Run {
  int status = -1;
  double seconds = 0;
  long peak_rss_kib = 0;
  std::string output;
};

// Runs `program` with `arguments`, capturing its standard output.
Run run_program(const fs::path& program, const std::vector<std::string>& arguments) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) fail("pipe failed");
  auto start = std::chrono::steady_clock::now();
  pid_t child = ::fork();
  if (child < 0) fail("fork failed");
  if (child == 0) {
    ::dup2(pipe_ends[1], STDOUT_FILENO);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    std::vector<char*> argv;
    std::string program_text = program.string();
    argv.push_back(program_text.data());
    std::vector<std::string> copies = arguments;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execv(program_text.c_str(), argv.data());
    std::_Exit(127);
  }
  ::close(pipe_ends[1]);
  Run run;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0) run.output.append(buffer, static_cast<size_t>(n));
  ::close(pipe_ends[0]);
  int status = 0;
  rusage usage{};
  if (::wait4(child, &status, 0, &usage) != child) fail("wait4 failed");
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peak_rss_kib = usage.ru_maxrss;
  return run;
}

// The sum of the counters of a result line ("migration OK: ... | graphs=1 nodes=2 ...").
uint64_t rows_of(const std::string& line) {
  uint64_t rows = 0;
  size_t bar = line.find('|');
  for (size_t at = line.find('=', bar); at != std::string::npos; at = line.find('=', at + 1)) {
    uint64_t value = 0;
    std::from_chars(line.data() + at + 1, line.data() + line.size(), value);
    rows += value;
  }
  return rows;
}

void make_store(const fs::path& sample_store, const fs::path& data, const Store& store) {
  fs::path directory = data / store.name;
  fs::path complete = directory / ".complete";
  if (fs::exists(complete)) return;
  fs::remove_all(directory);
  std::vector<std::string> arguments = {"--out", directory.string()};
  arguments.insert(arguments.end(), store.sample_arguments.begin(), store.sample_arguments.end());
  fmt::print("making store {} ...\n", store.name);
  std::fflush(stdout);
  Run made = run_program(sample_store, arguments);
  if (made.status != 0) fail(fmt::format("sample-store failed for store {}", store.name));
  std::FILE* marker = std::fopen(complete.c_str(), "w");
  if (marker) std::fclose(marker);
}

// Reads every file of the store once, so that each run meets its pages in the page cache (the
// machine may have dropped some since the last run).
void warm(const fs::path& store) {
  std::vector<char> buffer(1 << 20);
  for (const fs::directory_entry& entry : fs::directory_iterator(store)) {
    if (!entry.is_regular_file()) continue;
    std::FILE* file = std::fopen(entry.path().c_str(), "rb");
    if (!file) continue;
    while (std::fread(buffer.data(), 1, buffer.size(), file) == buffer.size()) {
    }
    std::fclose(file);
  }
}

struct Measured {
  double median_seconds = 0;
  long peak_rss_kib = 0;
  uint64_t rows = 0;
};

Measured summarize(std::vector<Run>& runs) {
  std::vector<double> times;
  Measured measured;
  for (const Run& run : runs) {
    times.push_back(run.seconds);
    measured.peak_rss_kib = std::max(measured.peak_rss_kib, run.peak_rss_kib);
  }
  std::sort(times.begin(), times.end());
  measured.median_seconds = times[times.size() / 2];
  measured.rows = rows_of(runs.front().output);
  return measured;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse_options(argc, argv);
  fs::path tools = fs::read_symlink("/proc/self/exe").parent_path();
  fs::path sample_store = tools / "sample-store";
  fs::path program = fs::weakly_canonical(tools / ".." / "src" / "cli" / "migrate-shards");
  if (!fs::exists(program) || !fs::exists(sample_store)) fail("build migrate-shards and sample-store first");
  fs::create_directories(options.data);

  struct Contender {
    std::string label;
    fs::path program;
  };
  std::vector<Contender> contenders = {{"this", program}};
  if (options.baseline) contenders.insert(contenders.begin(), {"baseline", *options.baseline});

  fmt::print("{:<6} {:>3}  {:<9} {:>8} {:>12} {:>10}{}\n", "store", "K", "build", "wall s", "rows/s",
             "peak RSS", options.baseline ? "  vs baseline" : "");
  for (const Store& store : stores) {
    if (!options.only.empty() && std::find(options.only.begin(), options.only.end(), store.name) == options.only.end())
      continue;
    make_store(sample_store, options.data, store);
    for (uint64_t shards : store.shard_counts) {
      std::vector<std::vector<Run>> runs(contenders.size());
      for (int round = 0; round < options.repeat; ++round) {
        // Alternate which build goes first, so that neither always meets a warmer machine.
        for (size_t turn = 0; turn < contenders.size(); ++turn) {
          size_t which = round % 2 == 0 ? turn : contenders.size() - 1 - turn;
          fs::path dest = options.data / "dest";
          fs::remove_all(dest);
          warm(options.data / store.name);
          Run run = run_program(contenders[which].program, {"--persist-dir", (options.data / store.name).string(),
                                                            "--shards", std::to_string(shards), "--dest-dir",
                                                            dest.string()});
          fs::remove_all(dest);
          if (run.status != 0)
            fail(fmt::format("{} failed on store {} with K={}: {}", contenders[which].label, store.name, shards,
                             run.output));
          runs[which].push_back(std::move(run));
        }
      }
      std::optional<double> baseline_seconds;
      for (size_t which = 0; which < contenders.size(); ++which) {
        Measured measured = summarize(runs[which]);
        std::string versus;
        if (options.baseline && contenders[which].label == "baseline") baseline_seconds = measured.median_seconds;
        else if (baseline_seconds) versus = fmt::format("  {:.2f}x", measured.median_seconds / *baseline_seconds);
        fmt::print("{:<6} {:>3}  {:<9} {:>8.2f} {:>12.0f} {:>6} MiB{}\n", store.name, shards, contenders[which].label,
                   measured.median_seconds, static_cast<double>(measured.rows) / measured.median_seconds,
                   measured.peak_rss_kib / 1024, versus);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
