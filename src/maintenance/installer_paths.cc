#include "maintenance/installer_paths.h"

#include <vector>

namespace ravik {
namespace {

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  if (path.starts_with('/')) parts.push_back("/");
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && (part != "." || parts.empty())) parts.push_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

}  // namespace

std::string installer_lease_state_path(const MaintenanceLocation& location) {
  std::string path = location.base_directory;
  if (path.empty() || path.back() != '/') path += '/';
  path += location.directory_name;
  path += '/';
  path += kInstallerLeaseStateFileName;
  return path;
}

std::optional<std::string> parent_directory(std::string_view path) {
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || path == "/") return std::nullopt;
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.ends_with('/')) parent.remove_suffix(1);
  return std::string(parent.empty() ? "/" : parent);
}

std::optional<std::string> installer_socket_path(std::string_view lease_state_path) {
  std::optional<std::string> parent = parent_directory(lease_state_path);
  if (!parent) return std::nullopt;
  if (!parent->ends_with('/')) *parent += '/';
  *parent += kInstallerSocketFileName;
  return parent;
}

bool names_same_path(std::string_view given, std::string_view canonical) {
  return components(given) == components(canonical);
}

}  // namespace ravik
