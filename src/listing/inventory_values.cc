#include "listing/inventory_values.h"

#include <algorithm>
#include <cstdio>

#include "base/text.h"

namespace halvane {
namespace {

// text in lower case without spaces, underscores or dashes: how published texts are matched.
std::string Folded(std::string_view text) {
  std::string folded;
  for (const char c : text) {
    if (c == ' ' || c == '_' || c == '-') continue;
    folded.push_back(AsciiLower(c));
  }
  return folded;
}

// The token of the set whose text, folded, is text's.
std::optional<std::string> Match(const std::optional<PropertyValue>& value,
                                 std::initializer_list<std::pair<const char*, const char*>> set) {
  const std::string* text = value ? value->AsString() : nullptr;
  if (text == nullptr) return std::nullopt;
  const std::string folded = Folded(*text);
  for (const auto& [published, token] : set) {
    if (Folded(published) == folded) return std::string(token);
  }
  return std::nullopt;
}

}  // namespace

std::optional<Number> IntegerIn(const std::optional<PropertyValue>& value, IntegerRange range) {
  const Number* number = value ? value->AsNumber() : nullptr;
  if (number == nullptr) return std::nullopt;
  const auto& raw = number->raw();
  bool in = false;
  if (const auto* v = std::get_if<std::int64_t>(&raw)) {
    in = *v >= range.min && (*v < 0 || static_cast<std::uint64_t>(*v) <= range.max);
  } else if (const auto* u = std::get_if<std::uint64_t>(&raw)) {
    in = *u <= range.max && (range.min <= 0 || *u >= static_cast<std::uint64_t>(range.min));
  }
  return in ? std::optional<Number>(*number) : std::nullopt;
}

std::optional<std::string> PortState(const std::optional<PropertyValue>& text) {
  return Match(text, {{"Online", "online"},
                      {"Offline", "offline"},
                      {"Linkdown", "linkdown"},
                      {"Blocked", "blocked"},
                      {"Bypassed", "bypassed"},
                      {"Diagnostics", "diagnostics"},
                      {"Error", "error"},
                      {"Loopback", "loopback"},
                      {"Deleted", "deleted"},
                      {"Marginal", "marginal"},
                      {"Not Present", "not_present"}});
}

std::optional<std::string> VirtualPortState(const std::optional<PropertyValue>& text) {
  return Match(text, {{"Active", "active"},
                      {"Disabled", "disabled"},
                      {"Linkdown", "linkdown"},
                      {"Initializing", "initializing"},
                      {"No Fabric Support", "no_fabric_support"},
                      {"No Fabric Resources", "no_fabric_resources"},
                      {"Fabric Logout", "fabric_logout"},
                      {"Fabric Rejected WWN", "fabric_rejected_wwn"},
                      {"VPort Failed", "failed"}});
}

std::vector<std::string> PortRoles(const std::optional<PropertyValue>& text) {
  std::vector<std::string> roles;
  const std::string* all = text ? text->AsString() : nullptr;
  for (std::string_view rest = all ? std::string_view(*all) : ""; !rest.empty();) {
    const std::size_t comma = rest.find(',');
    const auto role = Match(PropertyValue::String(std::string(rest.substr(0, comma))),
                            {{"FCP Target", "fcp_target"},
                             {"FCP Initiator", "fcp_initiator"},
                             {"IP Port", "ip_port"},
                             {"FCP Dummy Initiator", "fcp_dummy_initiator"},
                             {"NVMe Initiator", "nvme_initiator"},
                             {"NVMe Target", "nvme_target"},
                             {"NVMe Discovery", "nvme_discovery"}});
    if (role && std::find(roles.begin(), roles.end(), *role) == roles.end()) roles.push_back(*role);
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
  }
  return roles;
}

std::optional<std::string> UnitState(const std::optional<PropertyValue>& text) {
  return Match(text, {{"created", "created"},
                      {"running", "running"},
                      {"cancel", "cancel"},
                      {"deleted", "deleted"},
                      {"quiesce", "quiesce"},
                      {"offline", "offline"},
                      {"transport-offline", "transport_offline"},
                      {"blocked", "blocked"},
                      {"created-blocked", "created_blocked"}});
}

std::optional<std::string> UnitType(const std::optional<PropertyValue>& number) {
  static const std::pair<std::int64_t, const char*> kTypes[] = {{0x00, "disk"},
                                                                {0x01, "tape"},
                                                                {0x02, "printer"},
                                                                {0x03, "processor"},
                                                                {0x04, "write_once"},
                                                                {0x05, "cd_dvd"},
                                                                {0x06, "scanner"},
                                                                {0x07, "optical"},
                                                                {0x08, "changer"},
                                                                {0x09, "communications"},
                                                                {0x0c, "storage_array"},
                                                                {0x0d, "enclosure"},
                                                                {0x0e, "simplified_disk"},
                                                                {0x0f, "optical_card"},
                                                                {0x11, "object_storage"},
                                                                {0x12, "automation"},
                                                                {0x14, "zoned_disk"},
                                                                {0x1e, "well_known"}};
  const std::optional<std::int64_t> type = number ? number->AsInt64() : std::nullopt;
  for (const auto& [value, name] : kTypes) {
    if (value == type) return std::string(name);
  }
  return std::nullopt;
}

std::optional<std::string> FibreChannelAddress(const std::optional<PropertyValue>& number) {
  const std::optional<std::int64_t> id = number ? number->AsInt64() : std::nullopt;
  if (!id || *id < 0 || *id > 0xFFFFFF) return std::nullopt;
  char text[16];
  std::snprintf(text, sizeof text, "0x%06llx", static_cast<unsigned long long>(*id));
  return std::string(text);
}

std::optional<std::string> MultipathWwid(const std::optional<PropertyValue>& wwid) {
  const std::string* text = wwid ? wwid->AsString() : nullptr;
  if (text == nullptr || text->size() <= 4) return std::nullopt;
  const std::string_view kind = std::string_view(*text).substr(0, 4);
  const std::string rest = text->substr(4);
  if (kind == "naa.") return "3" + rest;
  if (kind == "eui.") return "2" + rest;
  if (kind == "t10.") return "1" + rest;
  return std::nullopt;
}

std::optional<std::string> ControllerState(const std::optional<PropertyValue>& text) {
  return Match(text, {{"new", "new"},
                      {"live", "live"},
                      {"resetting", "resetting"},
                      {"connecting", "connecting"},
                      {"deleting", "deleting"},
                      {"deleting (no IO)", "deleting_no_io"},
                      {"dead", "dead"}});
}

std::optional<std::string> AnaState(const std::optional<PropertyValue>& text) {
  return Match(text, {{"optimized", "optimized"},
                      {"non-optimized", "non_optimized"},
                      {"inaccessible", "inaccessible"},
                      {"persistent-loss", "persistent_loss"},
                      {"change", "change"}});
}

std::optional<std::string> HexId(const std::optional<PropertyValue>& bytes, std::size_t size) {
  const Data* data = bytes ? bytes->AsData() : nullptr;
  if (data == nullptr || data->size() != size) return std::nullopt;
  std::string text;
  AppendHex(text, *data, '\0', HexCase::kLower);
  return text;
}

std::optional<std::string> UuidText(const std::optional<PropertyValue>& bytes) {
  std::optional<std::string> hex = HexId(bytes, 16);
  if (!hex) return std::nullopt;
  for (const std::size_t dash : {20, 16, 12, 8}) hex->insert(dash, 1, '-');
  return hex;
}

}  // namespace halvane
