#pragma once

#include <string>
#include <vector>

#include "ampwardenctl/Answer.h"

namespace ampwarden::ctl {

// The answers a command brings, in the order they come. Each step lists the answer names that
// may stand for it: one name, or alternatives when the helper's state picks the answer.
using AnswerSteps = std::vector<std::vector<std::string>>;

// The answers the helper sends for the command `name`; empty for a command that is never
// answered and for names the helper does not know.
AnswerSteps expectedAnswers(const std::string& name);

// Whether the helper asks who sent the command `name`: all but the queries.
bool needsAuthorisation(const std::string& name);

// The names of one step, quoted and joined by " or ".
std::string describeStep(const std::vector<std::string>& names);

// What the answer says did not happen ("charging was not stopped: CH0B was not written"), or
// empty when it reports no failure: an open answered "close", or a command whose charge keys
// were not written.
std::string answerFailure(const Answer& answer);

// Why a command may legitimately go unanswered, to say when nothing came; empty when silence
// can only mean that no helper listens.
std::string silenceHint(const std::string& name);

}  // namespace ampwarden::ctl
