#ifndef TESTS_SUPPORT_MANY_OBJECTS_H_
#define TESTS_SUPPORT_MANY_OBJECTS_H_

#include <memory>
#include <string>
#include <vector>

#include "vrel_daq_event_stat.h"

namespace daqevstat::testing {

// Idle statistics objects on no location, as many as a server with many
// objects has: while they live, every object of the process counts as one
// of many, and its event path asks for the lines it writes ahead of the lock.
class ManyObjectsAlive {
 public:
  explicit ManyObjectsAlive(int count = 16) {
    for (int i = 0; i < count; ++i) {
      const std::string name = "IDLE" + std::to_string(i) + " statistics";
      idle_.push_back(std::make_unique<vrel_daq_event_stat>(name.c_str(), nullptr));
    }
  }

 private:
  std::vector<std::unique_ptr<vrel_daq_event_stat>> idle_;
};

}  // namespace daqevstat::testing

#endif  // TESTS_SUPPORT_MANY_OBJECTS_H_
