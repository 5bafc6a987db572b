#pragma once
// A GLib resolver, installed as the process default while it lives, that holds every lookup by name until the
// test releases them all to one address: a name server as slow as the test wants, without root.
#include <gio/gio.h>

#include <mutex>
#include <string>
#include <vector>

namespace veltrano::webrtc::testing {

class HeldResolver {
 public:
  HeldResolver() : previous_(g_resolver_get_default()) {
    resolver_ = G_RESOLVER(g_object_new(type(), nullptr));
    g_resolver_set_default(resolver_);
  }
  ~HeldResolver() {
    release("127.0.0.1");
    g_resolver_set_default(previous_);
    g_object_unref(previous_);
    g_object_unref(resolver_);
  }
  HeldResolver(const HeldResolver&) = delete;
  HeldResolver& operator=(const HeldResolver&) = delete;

  std::vector<std::string> names() {
    std::lock_guard lock(state().mutex);
    return state().names;
  }
  // Answers every held lookup with `address`.
  void release(const std::string& address) {
    std::vector<GTask*> tasks;
    {
      std::lock_guard lock(state().mutex);
      tasks.swap(state().tasks);
    }
    for (GTask* task : tasks) {
      GList* addresses = g_list_append(nullptr, g_inet_address_new_from_string(address.c_str()));
      g_task_return_pointer(task, addresses, reinterpret_cast<GDestroyNotify>(g_resolver_free_addresses));
      g_object_unref(task);
    }
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<GTask*> tasks;
    std::vector<std::string> names;
  };
  static State& state() {
    static State held;
    return held;
  }

  static void lookupAsync(GResolver* resolver, const gchar* name, GCancellable* cancellable,
                          GAsyncReadyCallback callback, gpointer data) {
    GTask* task = g_task_new(resolver, cancellable, callback, data);
    std::lock_guard lock(state().mutex);
    state().names.emplace_back(name);
    state().tasks.push_back(task);
  }
  static GList* lookupFinish(GResolver*, GAsyncResult* result, GError** error) {
    return static_cast<GList*>(g_task_propagate_pointer(G_TASK(result), error));
  }
  static GType type() {
    static const GType registered = [] {
      GTypeInfo info{};
      info.class_size = sizeof(GResolverClass);
      info.instance_size = sizeof(GResolver);
      info.class_init = +[](gpointer klass, gpointer) {
        auto* resolverClass = static_cast<GResolverClass*>(klass);
        resolverClass->lookup_by_name_async = lookupAsync;
        resolverClass->lookup_by_name_finish = lookupFinish;
      };
      return g_type_register_static(G_TYPE_RESOLVER, "VeltranoHeldResolver", &info, GTypeFlags(0));
    }();
    return registered;
  }

  GResolver* previous_;
  GResolver* resolver_;
};

}  // namespace veltrano::webrtc::testing
