// The registry of supervised programs, its ten-second pass, and the reports it sends.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/failure.h"
#include "supervision/process_operations.h"
#include "supervision/status.h"
#include "xap/outgoing_queue.h"

namespace varnix {

class ProcessRegistry {
 public:
  ProcessRegistry(ProcessOperations& operations, OutgoingQueue& queue, EventReport& events)
      : operations_(operations), queue_(queue), events_(events) {}

  // A new record, not yet in the list.
  std::unique_ptr<Status> NewStatus() const {
    return std::make_unique<Status>(operations_.table(), operations_.paths());
  }

  bool ProcessAlive(Status& record);
  // Whether each record's program still runs, in the list's order.
  std::vector<bool> AllAlive();
  // Finds which programs still run, reports the ended ones once and the auto-reported ones.
  void SupervisionPass();
  void UpdateStartedProcess(const std::string& Path, int32_t PID, const std::string& Title);
  void SendNotification(Status& record);

  // In the order records were appended; no keys, no uniqueness.
  std::vector<std::unique_ptr<Status>>& ProcessList() { return ProcessList_; }

 private:
  ProcessOperations& operations_;
  OutgoingQueue& queue_;
  EventReport& events_;
  std::vector<std::unique_ptr<Status>> ProcessList_;
};

}  // namespace varnix
