#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/string.h"
#include "base/trace.h"
#include "base/unique_fd.h"
#include "naming/paths.h"
#include "platform/plist/property_list.h"
#include "protocol/types.h"

class xpc_listener_t;
class xpc_connection_t;

// The exported object: the listener's delegate and the handler of every remote call. Its
// methods are spread over core/, auth/, install/ and system/, one file per operation group.
class helper_tool_t {
  public:
    // init: nullptr only when the listener can't be created.
    static std::unique_ptr<helper_tool_t> init();
    // Without a listener, for driving handlers in-process (tests, benchmarks).
    static std::unique_ptr<helper_tool_t> init_without_listener();
    ~helper_tool_t();  // dealloc

    helper_tool_t(const helper_tool_t&) = delete;
    helper_tool_t& operator=(const helper_tool_t&) = delete;

    // False when the daemon can't serve at all (no socket); the caller exits with a failure.
    [[nodiscard]] bool run();
    bool listener(xpc_listener_t& listener,
                  std::shared_ptr<xpc_connection_t> shouldAcceptNewConnection);

    // Properties.
    bool canQuit() const { return _canQuit.load(); }
    void setCanQuit(bool value) { _canQuit.store(value); }
    double lastAccess() const { return _lastAccess.load(); }
    void setLastAccess(double value) { _lastAccess.store(value); }
    trace_t* trace() { return _trace.get(); }

    // For tests: run calls it once it has found that it may quit and before it stops the listener,
    // the moment at which a client can still be admitted and must then be served.
    void setBeforeIdlePause(std::function<void()> hook) { _beforeIdlePause = std::move(hook); }

    // The code requirement clients must satisfy, from the embedded information property list;
    // the installation checks the bundles it installs, starts and removes against it too.
    const std::string& clientRequirement() const { return _clientRequirement; }

    // The remote protocol, in declaration order.
    void get_version_with_reply(reply_t<ns_string> reply);
    void install_corvana_service_with(ns_data auth, ns_string for_namespace, ns_string user_config,
                                      reply_t<bool> reply);
    void install_corvana_with_auth_data(ns_data auth_data, ns_string with_bundle_path,
                                        ns_string with_sysconfig_path, ns_string with_cv_namespace,
                                        ns_string with_user_name, reply_t<bool> with_reply);
    void uninstall_corvana_with_auth_data(ns_data auth_data, ns_string with_bundle_path,
                                          ns_string with_sysconfig_path,
                                          ns_string with_cv_namespace, ns_string with_user_name,
                                          reply_t<bool> with_reply);
    void fixOSMaxFilesIfNeedAndReply(reply_t<bool> reply);
    void restart_corvana_with_bundle_path(ns_string bundle_path, reply_t<bool> and_reply);
    void reboot_computer_with_reply(reply_t<bool> reply);
    void start_service_with_namespace(ns_string cv_namespace, reply_t<bool> with_reply);
    void is_service_installed_with_namespace(ns_string cv_namespace, reply_t<bool> with_reply);
    void is_service_disabled_with_namespace(ns_string cv_namespace, reply_t<bool> with_reply);
    void is_service_run_at_load_with_namespace(ns_string cv_namespace, reply_t<bool> with_reply);
    void set_tray_enabled(ns_string text, bool with_enabled, ns_string with_bundle_path,
                          reply_t<bool> with_reply);
    void quit_service(ns_string cv_namespace, reply_t<bool> with_reply);
    void check_global_settings_auth(ns_data auth, reply_t<bool> reply);
    void set_darkwake_mode(int mode, reply_t<int> reply);
    void isAutostartEnabledForNamespace(ns_string cv_namespace, reply_t<bool> reply);
    void setAutostartEnabled(bool enabled, ns_string forNamespace, reply_t<bool> reply);

    // Not remote.
    std::optional<ns_error> check_authorization(const ns_data& auth, const char* command);
    void _resetAuthDB();
    bool _validateCVNamespace(const ns_string& cv_namespace) {
        return cv_namespace && naming::is_valid_namespace(*cv_namespace);
    }
    std::vector<std::string> resolveFilesInDirectory(const std::string& directory,
                                                     const std::string& byWildcard);
    bool _verifyDir(const std::string& directory, const std::vector<std::string>& forExisting);
    void _createPlist(const std::string& path, const plist_dict_t& from);
    void _createGlobalTraceIfNeedFor(const std::string& cv_namespace);
    void _copyGlobalConfigFrom(const std::string& source, const std::string& for_);
    // The configuration files of a source directory, opened with the requesting user's access.
    struct config_source_t {
        unique_fd opened[3];  // "system.conf", "service.conf", "connection_trace.txt"
        std::string refusal;  // why none could be opened for the user, when that is so
        bool complete() const { return opened[0].valid() && opened[1].valid(); }
    };
    config_source_t open_config_source(const std::string& source);
    void cleanSharedMemory(string_t system_name);
    int _hackOSMaxFiles();

  private:
    helper_tool_t();

    // canQuit is set and ten seconds have passed since the last acceptance; read together under
    // the connection list's lock.
    bool may_quit() const;

    std::unique_ptr<trace_t> _trace;
    const std::string _clientRequirement;
    std::atomic<bool> _canQuit{false};
    std::unique_ptr<xpc_listener_t> _listener;
    mutable std::mutex _connectionsLock;  // serialises changes of the connection list
    std::vector<std::shared_ptr<xpc_connection_t>> _activeConnections;
    std::atomic<double> _lastAccess{0.0};
    // When the free allocator memory is next handed back (0: not pending); set as connections
    // go.
    std::atomic<double> _memoryReleaseDue{0.0};
    std::function<void()> _beforeIdlePause;
};
