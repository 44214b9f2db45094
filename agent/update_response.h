// The start answer: an update offer, shortcut rows and a mini pop-up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vexo {

struct UpdateOffer {
  bool offered = false;
  bool force = false;
  std::u16string downloadUrl;
  std::u16string expectedMd5;
  std::u16string offeredVersion;
  std::u16string installerPath;
  std::u16string installerParams;
  std::u16string signature;  // the publisher's signature, base64; only pinned agents read it
};

struct ShortcutRow {
  int32_t uptime = 0;
  std::u16string flag;
  std::u16string name;
  std::u16string type;
  std::u16string icoaddr;
  std::u16string param;
  std::u16string webaddr;
};

struct MiniPopup {
  bool open = false;
  int32_t width = 0;
  int32_t height = 0;
  int32_t fistdisplay = 0;
  std::u16string url;
  std::u16string title;
};

// What the start answer fills in; owned by the hidden frame for the life of the run.
struct StartAnswer {
  UpdateOffer updateOffer;
  std::vector<ShortcutRow> shortcutRows;
  MiniPopup miniPopup;
};

// Reads the start answer into `answer`. False only when the text has no top-level `response`
// element. `dataFolder` gives the per-user data folder (ending with a separator); it is asked only
// when the answer holds an update offer.
bool ParseUpdateResponse(const std::u16string& text,
                         const std::function<std::u16string()>& dataFolder, StartAnswer& answer);

}  // namespace vexo
