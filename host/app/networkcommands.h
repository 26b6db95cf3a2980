// orxhost and network places: shares that did not answer a command in time, and the test switch
// that makes a share's reads wait.
#pragma once

#include <string>

// Exit code of a command that answered while some network share did not.
constexpr int kExitShareDidNotAnswer = 3;

// Under ORXHOST_HOME, ORXHOST_HOLD_LISTING=FOLDER makes every read of FOLDER and below wait until
// the command has ended, as a server that does not answer would.
void StartNetworkFaults();
// Lets held reads go and waits a while for the host's network reads to end.
void EndNetworkFaults();
// Names on standard error each share whose read the plug-in gave up waiting for; their number.
int ReportUnansweredShares(const std::string& command);
