#ifndef HOST_D_STRING_H_
#define HOST_D_STRING_H_

#include <string>

#include "d_fct.h"
#include "host_export.h"

// A text property. Remote read replies with DATA_STRING; remote write stores
// the request rendered as text (EqData::get_string), refusing a request that
// carries an error with ill_parameter.
//
// Thread-safe: the text is guarded by an internal mutex.
class HOST_EXPORT D_string : public D_fct {
 public:
  D_string(const std::string& pn, EqFct* ef);
  ~D_string() override;

  void get(EqAdr* ad, EqData* in, EqData* out, EqFct* ef) override;
  void set(EqAdr* ad, EqData* in, EqData* out, EqFct* ef) override;
  void read() override;
  void write(std::ostream& stream) override;
  int data_type() const override;  // DATA_STRING
  void conf(Config* conf) override;

  virtual void set_value(const std::string& text);
  virtual void set_value(const std::string& text, quelmar::Timestamp timestamp,
                         quelmar::EventId event_id, ArchiveStatus status);
  // Copies the text into `buffer` of `size` bytes, cut and zero-terminated.
  virtual void copy_value(char* buffer, int size) const;
  virtual std::string get_value() const;
  virtual std::string value() const;
  virtual int length() const;
  virtual void set_length(int length);  // cuts the text to `length` characters

 private:
  mutable quelmar::Mutex mutex_;
  std::string text_ GUARDED_BY(mutex_);
};

#endif  // HOST_D_STRING_H_
