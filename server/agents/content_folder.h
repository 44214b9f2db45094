// The content folder a server publishes, and the checks that keep every request inside it.
//
// Layout:
//   start.xml, popup.xml            the answers to q=start and q=popup (plain XML)
//   apps/<t>/start.xml, popup.xml   the answers for agents whose application name is <t>; an
//                                   agent whose folder or file is missing gets the top-level one
//   start.rollout beside start.xml  the rollout policy of its offer (rollout_policy.h)
//   files/...                       installers and other downloads, served under /files/...
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/transport/exchange.h"

namespace vexo::server {

enum class AnswerKind { kStart, kPopup };

// "start" and "popup"; anything else is not a query of the agent.
std::optional<AnswerKind> AnswerKindFromQuery(std::string_view query);

// True when `name` can stand as one folder name below apps/: not empty, at most 128 bytes, no
// path separator, drive colon or control character, and not starting with a dot (so never "."
// or "..", nor a hidden file).
bool IsPlainName(std::string_view name);

// True when `relativePath` (already %-decoded) names a file below files/ without leaving it:
// segments separated by single slashes, each a plain name.
bool IsSafeRelativePath(std::string_view relativePath);

class ContentFolder {
 public:
  // Null, with `error` set, when `root` is not a folder this process can read.
  static std::unique_ptr<ContentFolder> Open(const std::string& root, std::string& error);

  // The answer file for an agent: apps/<application>/<kind>.xml when the name is plain and that
  // file exists inside the folder, else the top-level <kind>.xml; nullopt when neither exists.
  // `seen` receives the file's status when the search read it (no symbolic link on the way).
  std::optional<std::string> FindAnswerFile(AnswerKind kind, std::string_view application,
                                            std::optional<struct stat>* seen = nullptr) const;

  // A regular file below files/, opened; nullopt for unsafe paths, missing files, folders and
  // anything whose real location lies outside files/.
  std::optional<OpenFile> OpenDownload(std::string_view relativePath) const;

  bool HasTopLevelAnswers() const;
  // `path`, a file FindAnswerFile found, as named below the root: "apps/<t>/start.xml".
  std::string RelativeName(std::string_view path) const;
  // The start answers the folder holds: start.xml and each apps/<t>/start.xml, as paths.
  std::vector<std::string> StartAnswers() const;
  const std::string& realRoot() const { return realRoot_; }

 private:
  explicit ContentFolder(std::string realRoot) : realRoot_(std::move(realRoot)) {}

  // The real path of the regular file at `relative` (plain names joined by '/') below the
  // root, when its real location lies inside the root's sub-folder `folder` ("" or "name/").
  // `seen` receives its status when no symbolic link was on the way.
  std::optional<std::string> RegularFileInside(std::string_view relative, std::string_view folder,
                                               std::optional<struct stat>* seen = nullptr) const;
  std::optional<std::string> RealFileInside(const std::string& path, std::string_view folder) const;

  std::string realRoot_;
};

}  // namespace vexo::server
