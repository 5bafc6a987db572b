// Helpers of bench/window_program_compare.sh on the X server of $DISPLAY, which has no window manager:
//   veltrano_bench_x_window start NAME PROGRAM [ARGS...]
//       starts PROGRAM and prints "PID MILLISECONDS" once a top-level window titled NAME is mapped (the time from
//       just before the program was started); the program keeps running.
//   veltrano_bench_x_window close NAME
//       asks the top-level window titled NAME to close (WM_DELETE_WINDOW, as a window manager does) and waits
//       until it is unmapped.
#include <fcntl.h>
#include <spawn.h>
#include <time.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Free {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, Free>;

xcb_atom_t atom(xcb_connection_t* x, const char* name) {
  Reply<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::string title(xcb_connection_t* x, xcb_window_t window) {
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      x, xcb_get_property(x, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr));
  if (!reply) return {};
  return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
}

// The mapped top-level window titled `name`, if any.
std::optional<xcb_window_t> mappedWindow(xcb_connection_t* x, xcb_window_t root, const std::string& name) {
  Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(x, xcb_query_tree(x, root), nullptr));
  if (!tree) return std::nullopt;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
    Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(x, xcb_get_window_attributes(x, children[i]), nullptr));
    if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE && title(x, children[i]) == name) {
      return children[i];
    }
  }
  return std::nullopt;
}

// Waits for map or unmap events under the root, checking `done` after each; false after 60 s.
template <typename Done>
bool waitUntil(xcb_connection_t* x, Done done) {
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    // Poll rather than block: a window may have been mapped before its title was set.
    if (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
      std::free(event);
    } else {
      struct timespec pause {0, 1000000};
      nanosleep(&pause, nullptr);
    }
    if (xcb_connection_has_error(x)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s start NAME PROGRAM [ARGS...] | close NAME\n", argv[0]);
    return 2;
  }
  xcb_connection_t* x = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(x)) {
    std::fprintf(stderr, "no X server at $DISPLAY\n");
    return 2;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
  const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(x);
  const std::string name = argv[2];

  if (std::strcmp(argv[1], "start") == 0 && argc >= 4) {
    const auto started = Clock::now();
    // The program's output goes nowhere: whoever reads ours must not wait for the program to end.
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[3], &quiet, nullptr, argv + 3, environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0) return 1;
    if (!waitUntil(x, [&] { return mappedWindow(x, root, name).has_value(); })) return 1;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    std::printf("%d %.1f\n", static_cast<int>(pid), ms);
    return 0;
  }
  if (std::strcmp(argv[1], "close") == 0) {
    const auto window = mappedWindow(x, root, name);
    if (!window) return 1;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = *window;
    message.type = atom(x, "WM_PROTOCOLS");
    message.data.data32[0] = atom(x, "WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(x, 0, *window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
    xcb_flush(x);
    return waitUntil(x, [&] { return !mappedWindow(x, root, name).has_value(); }) ? 0 : 1;
  }
  return 2;
}
