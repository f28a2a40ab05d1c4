// dtk-mpi as mpirun runs it: three processes, each with its own small tree
// below one target.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "test_util.h"

namespace dtk {
namespace {

struct MpiRun {
  std::map<int, int> statuses;  // each process's exit status, by rank
  std::string out;
  std::string err;
};

// A shell around each process tells its exit status.
const char kTellStatus[] =
    "\"$0\" \"$@\"; status=$?; "
    "echo \"exit of rank ${OMPI_COMM_WORLD_RANK:-$PMI_RANK}: $status\" >&2; exit $status";

// Runs dtk-mpi with `args` on three processes.
MpiRun RunOnThreeRanks(const std::string& words) {
  // Shared memory between the processes without ptrace, which containers
  // often forbid.
  setenv("OMPI_MCA_btl_vader_single_copy_mechanism", "none", 1);
  // mpirun would end the other processes (and their shells) when the first
  // one ends with a status other than 0.
  setenv("OMPI_MCA_orte_abort_on_non_zero_status", "0", 1);
  // Open MPI does not free all it allocates before the process ends, and
  // part of it in modules it has unloaded by then: under AddressSanitizer
  // only errors, not leaks, end the processes.
  const char* asanOptions = std::getenv("ASAN_OPTIONS");
  std::string options = asanOptions != nullptr ? asanOptions : "";
  if (options.find("detect_leaks") == std::string::npos) {
    setenv("ASAN_OPTIONS", (options.empty() ? "" : options + ":").append("detect_leaks=0").c_str(),
           1);
  }
  std::vector<std::string> command =
      Words("--allow-run-as-root --oversubscribe --bind-to none --timeout 120 -n 3 /bin/sh -c");
  command.insert(command.begin(), DTK_MPIEXEC);
  command.insert(command.end(), {kTellStatus, DTK_MPI_BINARY});
  for (const std::string& word : Words(words)) command.push_back(word);
  ChildResult child = RunChild(command);
  MpiRun run{{}, child.out, child.err};
  for (const std::string& line : LinesStartingWith(child.err, "exit of rank ")) {
    run.statuses[std::stoi(line.substr(13))] = std::stoi(line.substr(line.find(": ") + 2));
  }
  return run;
}

const std::map<int, int> kAllRanks(int status) { return {{0, status}, {1, status}, {2, status}}; }

class MpiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(DTK_MPIEXEC, X_OK) != 0) {
      GTEST_SKIP() << "mpirun not found (" << DTK_MPIEXEC << "): dtk-mpi is not run";
    }
  }
};

// Each of three processes makes, verifies (around the cache, where the file
// system takes that) and removes a tree of 22 files in 2 directories in its
// own directory, rank 0 printing the lines of all. A foreign file in the
// subtree of rank 1 stops its remove phase: the phase of all has failed,
// and every process ends with status 2.
TEST_F(MpiTest, ThreeRanksRunInStepAndRankZeroPrintsTheirSums) {
  TempDir dir;
  TempDir reports;
  const std::string report = reports / "r.json";
  const std::string T = dir.path();
  std::filesystem::create_directories(T + "/rank-1/DIR-0");
  WriteWholeFile(T + "/rank-1/DIR-0/foreign", "not dtk's");
  MpiRun run =
      RunOnThreeRanks(T + " -filesize 1 -maxDirFiles 10 -verify -direct -report " + report);
  if (run.err.find("Direct Error!") != std::string::npos) GTEST_SKIP() << run.err;
  EXPECT_EQ(run.statuses, kAllRanks(2)) << run.err;
  EXPECT_EQ(MaskTimes(run.out),
            "Create 66 files, 6 directories\nCreate filesize 3145728 bytes\nCreate time N sec\n"
            "Create speed S\nVerify 66 files, 0 CRC Errors\nVerify filesize 3145728 bytes\n"
            "Verify time N sec\nVerify speed S\n");
  // A start and a finish line per phase; the progress lines of rank 0,
  // and of another rank only its error, marked.
  std::string err = MaskTimeStamps(run.err);
  EXPECT_EQ(LinesStartingWith(err, "TS ").size(), 6u);
  EXPECT_EQ(LinesStartingWith(err, "Remove Error!"), std::vector<std::string>{"Remove Error!"});
  EXPECT_EQ(LinesStartingWith(err, "[rank"),
            (std::vector<std::string>{"[rank 1] RemoveDirecrory " + T + "/rank-1/DIR-0",
                                      "[rank 1] RemoveDirectory Error!: " + SystemText(kNotEmpty),
                                      "[rank 1] Remove Error!"}));
  for (const char* kind : {"CreateFile ", "Verify ", "RemoveFile "}) {
    EXPECT_EQ(LinesStartingWith(err, kind + T + "/rank-0/").size(), 22u) << kind;
  }
  EXPECT_EQ(err.find("/rank-2/"), std::string::npos);
  // The other subtrees are gone, and the directories of their processes
  // with them; rank 1's stopped at the foreign file.
  std::vector<std::string> left = {"rank-1/", "rank-1/DIR-0/", "rank-1/DIR-0/foreign"};
  for (int i = 0; i < 10; ++i) left.push_back("rank-1/file-" + std::to_string(i));
  EXPECT_EQ(dir.List(), left);

  nlohmann::json json = nlohmann::json::parse(ReadWholeFile(report));
  EXPECT_EQ(json["plan"]["files"], 22);  // each process's
  EXPECT_GE(json["directBlockSize"], 512);
  EXPECT_EQ(json["exitStatus"], 2);
  ASSERT_EQ(json["ranks"].size(), 3u);
  const char* statuses[] = {"ok", "ok", "failed"};
  const int files[] = {66, 66, 22 + 12 + 22};  // rank 1 removed as far as DIR-0
  for (int i = 0; i < 3; ++i) {
    const auto& whole = json["phases"][i];
    EXPECT_EQ(whole["status"], statuses[i]);
    EXPECT_EQ(whole["files"], files[i]);
    int64_t sampled = 0;  // the ranks' timelines added up on rank 0
    for (const auto& sample : whole["timeline"]) sampled += sample["files"].get<int64_t>();
    EXPECT_EQ(sampled, files[i]);
    for (int k = 0; k < 3; ++k) {
      const auto& rank = json["ranks"][k];
      EXPECT_EQ(rank["rank"], k);
      EXPECT_EQ(rank["exitStatus"], k == 1 ? 2 : 0) << k;
      EXPECT_EQ(rank["phases"][i]["status"], k == 1 ? statuses[i] : "ok") << k;
      // The phase of all runs from barrier to barrier, round the work of
      // each.
      EXPECT_GE(whole["seconds"].get<double>(), rank["phases"][i]["seconds"].get<double>());
    }
  }
  // The latencies of the calls of all processes: one write and one read per
  // file.
  EXPECT_EQ(json["phases"][0]["operations"]["write"]["count"], 66);
  EXPECT_EQ(json["ranks"][1]["phases"][0]["operations"]["write"]["count"], 22);
  EXPECT_EQ(json["phases"][1]["operations"]["read"]["count"], 66);
  ASSERT_EQ(json["phases"][2]["failures"].size(), 1u);
  EXPECT_EQ(json["phases"][2]["failures"][0]["path"], T + "/rank-1/DIR-0");
}

// Every process reads the same command line; rank 0 alone says what is
// wrong with it. Threads in each process are not taken.
TEST_F(MpiTest, ParameterErrorIsToldOnce) {
  TempDir dir;
  for (const char* words : {"-bogus", "-threads 2"}) {
    MpiRun run = RunOnThreeRanks(dir.path() + " " + words);
    EXPECT_EQ(run.statuses, kAllRanks(1)) << run.err;
    std::string message = words[1] == 'b' ? "Parameter error! (bogus)"
                                          : "Parameter error! (threads): dtk-mpi runs one thread "
                                            "in each process; start more processes instead";
    EXPECT_EQ(LinesStartingWith(run.err, "Parameter error!"), std::vector<std::string>{message});
    EXPECT_EQ(LinesStartingWith(run.err, "[rank").size(), 0u);
    EXPECT_TRUE(dir.List().empty());
  }
}

// The help and the version are printed once, by rank 0, and every process
// ends well without a target.
TEST_F(MpiTest, HelpAndVersionArePrintedOnce) {
  MpiRun run = RunOnThreeRanks("--version");
  EXPECT_EQ(run.statuses, kAllRanks(0)) << run.err;
  EXPECT_EQ(run.out, "dtk-mpi " DTK_VERSION "\n");
  run = RunOnThreeRanks("T -verify -h");
  EXPECT_EQ(run.statuses, kAllRanks(0)) << run.err;
  EXPECT_EQ(LinesStartingWith(run.out, "usage: mpirun ").size(), 1u) << run.out;
}

}  // namespace
}  // namespace dtk
