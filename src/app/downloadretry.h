// When the send-files window tries a broken download again by itself: after
// what a bad network does to it, a few times, with pauses that grow.
#pragma once

#include <exception>
#include <string>
#include <vector>

// The pauses before the first, second and third retry, in milliseconds.
inline const std::vector<int> DefaultRetryDelaysMs = {2000, 5000, 10000};

// True for what a broken network does to a download: a socket error, a
// closed connection, a time-out (the idle time-out of the transfer, the
// reply time-out that goes with it, a connect that timed out on the way
// back) and a 426 reply (the server lost the data connection). Anything
// else, a refusal above all, would only fail again.
bool IsConnectionLoss(const std::exception& AFailure);

// True when the failure leaves the control connection open but out of step:
// a reply that did not come in time may still come and would answer the next
// command. Such a session is closed before the retry.
bool LeavesSessionOutOfStep(const std::exception& AFailure);

// "Connection lost; retrying in 5 s (attempt 2 of 3)".
std::string RetryText(int ASeconds, int AAttempt, int AAttempts);
