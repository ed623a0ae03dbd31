#ifndef VALUE_EQ_EXCEPTIONS_H_
#define VALUE_EQ_EXCEPTIONS_H_

#include <stdexcept>
#include <string>

#include "daqevstat_export.h"

namespace quelmar {

// Thrown when a value cannot be archived. The text is fixed per cause, for
// example "Archiving failed with wrong archiver data type".
class DAQEVSTAT_EXPORT Error : public std::runtime_error {
 public:
  explicit Error(const char* message);
  explicit Error(const std::string& message);
  Error(const Error&) = default;
  Error(Error&&) = default;
  Error& operator=(const Error&) = default;
  Error& operator=(Error&&) = default;
  ~Error() override;

  // A copy of what().
  virtual std::string get_message() const;
};

}  // namespace quelmar

#endif  // VALUE_EQ_EXCEPTIONS_H_
