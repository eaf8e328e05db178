// The check's last step: the sendmail face's queue, where there is one.
#pragma once

#include <optional>

#include "app/mailer/check_report.h"

// The entries waiting, the oldest, the next try and the last reason; none when this
// run has no queue folder (nothing was ever queued) or the queue is off. Never sends,
// creates or changes anything. The caller holds a CSettingsReadOnce.
std::optional<CheckStep> QueueStep();
