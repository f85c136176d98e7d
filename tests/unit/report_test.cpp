// SPDX-License-Identifier: Apache-2.0
// The two reports that end the process: their stream, text and status.
#include <gtest/gtest.h>

#include <cerrno>

#include "child.h"
#include "net.h"
#include "report.h"

namespace {

using nimbo::test::program_name;
using nimbo::test::run_in_child;

TEST(Reports, FatalSetupPrintsOnStdoutAndExitsOne) {
  const auto r = run_in_child([] { nimbo::fatal_setup("%s: Unknow host\n", "nowhere"); });
  EXPECT_EQ(r.out, "nowhere: Unknow host\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
}

TEST(Reports, FatalSetupFlushesOutputWrittenBefore) {
  const auto r = run_in_child([] {
    std::printf("before ");
    nimbo::fatal_setup("cannot open socket\n");
  });
  EXPECT_EQ(r.out, "before cannot open socket\n");
}

TEST(Reports, SendFailureUsesErrOnStderr) {
  for (const auto& [error, text] : {std::pair{EINVAL, "Invalid argument"},
                                    std::pair{EMSGSIZE, "Message too long"}}) {
    const int e = error;
    const auto r = run_in_child([e] { nimbo::send_failure(e); });
    EXPECT_EQ(r.err, program_name() + ": write: " + text + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(Reports, SendFailureKeepsTheFailedCallsErrno) {
  const auto r = run_in_child([] {
    const char byte = 0;
    if (!nimbo::send_datagram(-1, &byte, 1, nimbo::ipv4_address(in_addr{}, 9))) nimbo::send_failure();
  });
  EXPECT_EQ(r.err, program_name() + ": write: Bad file descriptor\n");
  EXPECT_EQ(r.status, 1);
}

TEST(Reports, UnknownDestinationNamesTheHost) {
  const auto r = run_in_child([] { nimbo::resolve_destination("nowhere.invalid", 80); });
  EXPECT_EQ(r.out, "nowhere.invalid: Unknow host\n");
  EXPECT_EQ(r.status, 1);
}

TEST(Ipv4Address, KeepsOnlyTheLowSixteenBitsOfThePort) {
  EXPECT_EQ(nimbo::ipv4_address(in_addr{}, 65536 + 80).sin_port, htons(80));
  EXPECT_EQ(nimbo::ipv4_address(in_addr{}, -1).sin_port, htons(65535));
}

}  // namespace
