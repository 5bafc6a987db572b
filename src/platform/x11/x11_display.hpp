#pragma once
// A connection to the X server and the facts about it that capture, input and permissions share:
// the RandR 1.5 monitors (our "displays") and which extensions are present.
//
// Threads: use one X11Display from one thread at a time. (Everything it keeps is fixed at open() and
// xcb serialises requests, so its own calls happen to be safe from several threads; but whoever reads
// events from connection() owns that event queue, so a component that needs events opens its own.)
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct xcb_connection_t;

namespace veltrano::platform {

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Rect&) const = default;
};

// One RandR monitor. The identifier is the monitor's name atom: 32-bit and stable while the X server runs.
struct X11Monitor {
  std::uint32_t id = 0;
  std::string name;
  Rect bounds;  // in root-window pixels (points equal pixels on X11)
  bool primary = false;
  bool operator==(const X11Monitor&) const = default;
};

// The error that broke `connection` (xcb's code, for one made elsewhere such as Qt's), or 0 while it works.
int connectionError(xcb_connection_t* connection);

class X11Display {
 public:
  // nullptr when no X server is reachable ($DISPLAY unset, refused, or the connection has an error).
  static std::shared_ptr<X11Display> open(const char* displayName = nullptr);
  ~X11Display();
  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  xcb_connection_t* connection() const { return connection_; }
  std::uint32_t rootWindow() const { return root_; }
  int screenWidth() const { return screenWidth_; }
  int screenHeight() const { return screenHeight_; }
  bool hasError() const;  // the connection broke (server gone)

  // Fresh query each call; empty when RandR 1.5 is missing or the server is gone.
  std::vector<X11Monitor> monitors() const;
  // Main display: the primary monitor, else the one at (0,0), else the first; nullopt when none.
  static std::optional<X11Monitor> mainMonitor(const std::vector<X11Monitor>& monitors);

  bool hasXTest() const;
  bool hasShm() const;
  bool hasDamage() const;
  bool hasXFixes() const;

 private:
  X11Display(xcb_connection_t* c, int screen);
  xcb_connection_t* connection_ = nullptr;
  std::uint32_t root_ = 0;
  int screenWidth_ = 0;
  int screenHeight_ = 0;
  // Probed once at open(): extension presence does not change while the server runs.
  bool hasXTest_ = false;
  bool hasShm_ = false;
  bool hasDamage_ = false;
  bool hasXFixes_ = false;
  bool hasRandrMonitors_ = false;  // RandR >= 1.5
};

}  // namespace veltrano::platform
