#ifndef HOST_D_STRING_H_
#define HOST_D_STRING_H_

#include <string>

#include "d_fct.h"
#include "host_export.h"

// A text property. Remote read replies with DATA_STRING; remote write stores
// the request rendered as text (EqData::get_string), refusing a request that
// carries an error with ill_parameter. It persists as its text: write() puts
// line breaks out as blanks (the configuration is one entry a line), and an
// empty text is not saved. read() takes the configured text; a fault reading
// the configuration is logged with the source "read" and leaves the text.
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

  // Store the text and stamp the property with the laundered timestamp and
  // event id (0 for the one-argument form); the status is not kept.
  virtual void set_value(const std::string& text);
  virtual void set_value(const std::string& text, quelmar::Timestamp timestamp,
                         quelmar::EventId event_id, ArchiveStatus status);
  // Copies the text into `buffer` of `size` bytes, cut and zero-terminated;
  // a null buffer or a size below 1 writes nothing.
  virtual void copy_value(char* buffer, int size) const;
  virtual std::string get_value() const;
  virtual std::string value() const;
  virtual int length() const;
  // Cuts the text to `length` characters; a negative length is ignored.
  virtual void set_length(int length);

 private:
  mutable quelmar::Mutex mutex_;
  std::string text_ GUARDED_BY(mutex_);
};

#endif  // HOST_D_STRING_H_
