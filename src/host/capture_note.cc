#include "host/capture_note.h"

#include <unistd.h>

#include <ctime>
#include <string>

namespace halvane {

Dictionary CaptureNote(const HostEnvironment& environment, std::string_view version) {
  Dictionary note;
  if (!environment.source_date_epoch) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
      note.insert_or_assign("host", PropertyValue::String(name));
  }
  const std::time_t when = environment.source_date_epoch
                               ? static_cast<std::time_t>(*environment.source_date_epoch)
                               : std::time(nullptr);
  std::tm utc{};
  char text[32];
  if (gmtime_r(&when, &utc) != nullptr &&
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc))
    note.insert_or_assign("time", PropertyValue::String(text));
  note.insert_or_assign("version", PropertyValue::String(std::string(version)));
  return note;
}

}  // namespace halvane
