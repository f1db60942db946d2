// The dial-up service on Linux: NetworkManager, reached through libnm, with its L2TP plugin.
//
// The entry becomes an in-memory NetworkManager connection (it lives under /run, never on the
// disk). Dialing activates it with the user name written into the in-memory profile and the
// password handed over by a secret agent of our own that lives only for that dial and answers
// only for that connection, so the password is never stored by NetworkManager, never on a
// command line and never in a file.
//
// Every call comes from one worker thread and blocks: each one opens its own connection to the
// system bus (the one DBUS_SYSTEM_BUS_ADDRESS names, as libnm does) and its own NMClient on
// this object's private GMainContext, iterates that context until the libnm calls it made have
// finished or their time is up, and tears both down again. Nothing is kept between calls, so a
// NetworkManager restart between two calls does no harm and no events pile up while idle.

#include <glib.h>
// libnm 1.42's nm-errors.h lacks the C linkage block its other headers have.
extern "C" {
#include <nm-errors.h>
}
#include <NetworkManager.h>
#include <nm-secret-agent-old.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vpn/dial_up_service.h"

namespace vpn {
namespace {

using namespace std::chrono_literals;

constexpr const char* kL2tpServiceType = "org.freedesktop.NetworkManager.l2tp";

// How long one request to NetworkManager (or the bus) may take before we give up on it.
constexpr auto kRequestLimit = 5s;
// How long a dial may take when the connection names no time-out of its own: NetworkManager's
// own default for VPN connections, plus a margin for its clean-up after the failure.
constexpr auto kDialDefaultLimit = 60s;
constexpr auto kDialMargin = 10s;
// How long the tear-down of a client may take to release the context.
constexpr auto kTeardownLimit = 2s;

// Our own codes, above every reason NetworkManager gives (those are below 100).
constexpr std::uint32_t kNoBus = 1001;
constexpr std::uint32_t kNotRunning = 1002;
constexpr std::uint32_t kNoAnswer = 1003;
constexpr std::uint32_t kNoL2tpPlugin = 1004;
constexpr std::uint32_t kEntryMissing = 1005;
constexpr std::uint32_t kRequestRefused = 1006;
constexpr std::uint32_t kDialTimedOut = 1007;
constexpr std::uint32_t kFailedWithoutReason = 1008;
constexpr std::uint32_t kNoNetwork = 1009;

// NetworkManager's answer to activating a VPN while no connection is up to carry it.
constexpr const char* kNoSourceConnection = "org.freedesktop.NetworkManager.UnknownConnection";

struct CodeText {
    std::uint32_t code;
    const char* text;
};

// NetworkManager's reasons (NMActiveConnectionStateReason; for a VPN they are the
// NMVpnConnectionStateReason values, which share the numbers) and our own codes.
constexpr CodeText kCodeTexts[] = {
    {NM_ACTIVE_CONNECTION_STATE_REASON_USER_DISCONNECTED, "VPN 连接已被用户断开。"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_DEVICE_DISCONNECTED, "VPN 所依赖的网络连接已断开。"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_SERVICE_STOPPED, "VPN 服务已停止。"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_IP_CONFIG_INVALID, "VPN 服务器分配的 IP 配置无效。"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_CONNECT_TIMEOUT, "VPN 连接超时。"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_SERVICE_START_TIMEOUT, "VPN 服务启动超时。"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_SERVICE_START_FAILED, "VPN 服务启动失败。"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_NO_SECRETS, "VPN 缺少密码，无法登录。"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_LOGIN_FAILED, "VPN 登录失败：用户名或密码错误"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_CONNECTION_REMOVED, "VPN 连接配置已被删除。"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_DEPENDENCY_FAILED, "VPN 所依赖的连接失败。"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_DEVICE_REALIZE_FAILED, "无法创建 VPN 网络设备。"},
    {NM_ACTIVE_CONNECTION_STATE_REASON_DEVICE_REMOVED, "VPN 网络设备已被移除。"},
    {kNoBus, "无法连接系统 D-Bus 总线，找不到 NetworkManager。"},
    {kNotRunning, "NetworkManager 未运行。"},
    {kNoAnswer, "NetworkManager 没有响应。"},
    {kNoL2tpPlugin, "未安装 NetworkManager 的 L2TP 插件（network-manager-l2tp）。"},
    {kEntryMissing, "找不到 VPN 连接配置。"},
    {kRequestRefused, "NetworkManager 拒绝了请求。"},
    {kDialTimedOut, "VPN 连接超时：NetworkManager 未在限定时间内完成连接。"},
    {kFailedWithoutReason, "VPN 连接失败：VPN 插件未能建立连接。"},
    {kNoNetwork, "没有可用的网络连接，无法拨号 VPN。"},
};

// How the Windows entry maps onto the NetworkManager connection, and what has no counterpart:
//
// | Windows entry option                                  | NetworkManager connection            |
// |-------------------------------------------------------|--------------------------------------|
// | entry name                                            | connection.id                        |
// | device type "vpn", L2TP WAN miniport, RASET_Vpn       | type vpn, vpn.service-type l2tp      |
// | phone number = server                                 | vpn.data gateway                     |
// | PAP, CHAP, MS-CHAP, MS-CHAPv2 allowed                 | no refuse-pap/-chap/-mschap(-v2) key |
// | EAP not allowed                                       | vpn.data refuse-eap=yes              |
// | software compression                                  | no nobsdcomp/nodeflate/no-vj-comp    |
// | encryption optional (ET_Optional)                     | no require-mppe                      |
// | no pre-shared key                                     | no ipsec-enabled                     |
// | remote default gateway                                | ipv4.never-default=no                |
// | IP only (RASNP_Ip)                                    | ipv6.method=ignore                   |
// | credentials cleared, not kept                         | no user, password-flags=2 (not saved)|
// | dialed by hand                                        | connection.autoconnect=no            |
// | stored per machine                                    | connection.permissions user:<us>,    |
// |                                                       | in memory only (under /run)          |
// | SPAP                                                  | none: pppd has no SPAP               |
// | country id and code 86                                | none: no dialing rules for a tunnel  |
// | redial count 3, pause 60 s, reconnect if dropped      | none: the L2TP plugin cannot redial, |
// |                                                       | autoconnect retries need autoconnect |
// | no multilink, dial-mode and bandwidth percentages     | none: the plugin never uses multilink|
// | modem lights, dialing progress, preview user/password | none: options of Windows' dialer UI  |
// | secure local files, file and print, MS client, no     | none: Windows networking options     |
// | NetBIOS over IP, Internet flag                        |                                      |
void addVpnData(NMSettingVpn* vpnSetting, const VpnEntrySettings& settings) {
    nm_setting_vpn_add_data_item(vpnSetting, "gateway", settings.server.c_str());
    // The plugin refuses unknown keys and boolean values other than "yes" and "no".
    const struct {
        const char* key;
        bool set;
    } flags[] = {
        {"refuse-eap", !settings.allowEap},
        {"refuse-pap", !settings.allowPap},
        {"refuse-chap", !settings.allowChap},
        {"refuse-mschap", !settings.allowMsChap},
        {"refuse-mschap-v2", !settings.allowMsChapV2},
        {"require-mppe", settings.encryptionRequired},
        {"nobsdcomp", !settings.softwareCompression},
        {"nodeflate", !settings.softwareCompression},
        {"no-vj-comp", !settings.softwareCompression},
    };
    for (const auto& flag : flags) {
        if (flag.set)
            nm_setting_vpn_add_data_item(vpnSetting, flag.key, "yes");
    }
    const std::string notSaved = std::to_string(NM_SETTING_SECRET_FLAG_NOT_SAVED);
    nm_setting_vpn_add_data_item(vpnSetting, "password-flags", notSaved.c_str());
}

// --- small owners for GLib objects ---

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GVariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

std::string currentUserName() {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return found->pw_name;
}

// Makes the service's context the calling thread's default while a call runs, so that libnm
// delivers everything it starts there.
class ThreadDefaultContext {
public:
    explicit ThreadDefaultContext(GMainContext* context) : context_(context) {
        g_main_context_push_thread_default(context_);
    }
    ~ThreadDefaultContext() { g_main_context_pop_thread_default(context_); }
    ThreadDefaultContext(const ThreadDefaultContext&) = delete;
    ThreadDefaultContext& operator=(const ThreadDefaultContext&) = delete;

private:
    GMainContext* context_;
};

// Iterates the context until `done` holds or the time is up; true when `done` holds.
bool iterateUntil(GMainContext* context, const std::function<bool()>& done,
                  std::chrono::milliseconds limit) {
    bool timeUp = false;
    GSource* timer = g_timeout_source_new(static_cast<guint>(limit.count()));
    g_source_set_callback(
        timer,
        [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &timeUp, nullptr);
    g_source_attach(timer, context);
    while (!done() && !timeUp)
        g_main_context_iteration(context, TRUE);
    g_source_destroy(timer);
    g_source_unref(timer);
    return done();
}

// The result of one asynchronous call. It is shared with the callback, so a callback that
// comes after we gave up finds it still alive.
struct AsyncSlot {
    GObjectPtr<GAsyncResult> result;
};

void storeResult(GObject*, GAsyncResult* result, gpointer data) {
    auto* slot = static_cast<std::shared_ptr<AsyncSlot>*>(data);
    (*slot)->result.reset(G_ASYNC_RESULT(g_object_ref(result)));
    delete slot;
}

// Starts an asynchronous libnm or GIO call and waits for its result within the limit. On time
// out the call is cancelled; null then.
GAsyncResult* callAndWait(
    GMainContext* context,
    const std::function<void(GCancellable*, GAsyncReadyCallback, gpointer)>& start,
    GObjectPtr<GAsyncResult>& holder, std::chrono::milliseconds limit) {
    auto slot = std::make_shared<AsyncSlot>();
    GObjectPtr<GCancellable> cancellable(g_cancellable_new());
    start(cancellable.get(), storeResult, new std::shared_ptr<AsyncSlot>(slot));
    if (!iterateUntil(
            context, [&] { return slot->result != nullptr; }, limit)) {
        g_cancellable_cancel(cancellable.get());
        // A cancelled call reports back at once; let it, so nothing is left running.
        iterateUntil(
            context, [&] { return slot->result != nullptr; }, kTeardownLimit);
        return nullptr;
    }
    holder = std::move(slot->result);
    return holder.get();
}

bool isRemoteError(const GError* error, const char* name) {
    gchar* remote = error ? g_dbus_error_get_remote_error(error) : nullptr;
    const bool same = remote && std::strcmp(remote, name) == 0;
    g_free(remote);
    return same;
}

// --- the secret agent that hands the password to NetworkManager for one dial ---

struct DialSecrets {
    std::string connectionPath;
    std::string password;
};

struct DialAgent {
    NMSecretAgentOld parent;
    const DialSecrets* secrets;
};

struct DialAgentClass {
    NMSecretAgentOldClass parent;
};

GType dialAgentType();

DialAgent* asDialAgent(NMSecretAgentOld* agent) {
    return reinterpret_cast<DialAgent*>(
        G_TYPE_CHECK_INSTANCE_CAST(agent, dialAgentType(), DialAgent));
}

void dialAgentGetSecrets(NMSecretAgentOld* agent, NMConnection* connection,
                         const char* connectionPath, const char* settingName, const char**,
                         NMSecretAgentGetSecretsFlags, NMSecretAgentOldGetSecretsFunc callback,
                         gpointer userData) {
    const DialSecrets* secrets = asDialAgent(agent)->secrets;
    // Only the connection being dialed, only its VPN secrets: every other request goes on to
    // the other agents of the session.
    if (!secrets || std::strcmp(connectionPath, secrets->connectionPath.c_str()) != 0 ||
        std::strcmp(settingName, NM_SETTING_VPN_SETTING_NAME) != 0) {
        GErrorPtr error(g_error_new_literal(NM_SECRET_AGENT_ERROR, NM_SECRET_AGENT_ERROR_NO_SECRETS,
                                            "no secrets for this connection"));
        callback(agent, connection, nullptr, error.get(), userData);
        return;
    }
    GVariantBuilder vpnSecrets;
    g_variant_builder_init(&vpnSecrets, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&vpnSecrets, "{ss}", "password", secrets->password.c_str());
    GVariantBuilder vpnSetting;
    g_variant_builder_init(&vpnSetting, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&vpnSetting, "{sv}", NM_SETTING_VPN_SECRETS,
                          g_variant_builder_end(&vpnSecrets));
    GVariantBuilder reply;
    g_variant_builder_init(&reply, NM_VARIANT_TYPE_CONNECTION);
    g_variant_builder_add(&reply, "{sa{sv}}", NM_SETTING_VPN_SETTING_NAME, &vpnSetting);
    GVariantPtr answer(g_variant_ref_sink(g_variant_builder_end(&reply)));
    callback(agent, connection, answer.get(), nullptr, userData);
}

void dialAgentCancelGetSecrets(NMSecretAgentOld*, const char*, const char*) {
    // Every request is answered at once; there is never one to cancel.
}

// Nothing is ever saved or deleted: the password is not kept.
void dialAgentSaveSecrets(NMSecretAgentOld* agent, NMConnection* connection, const char*,
                          NMSecretAgentOldSaveSecretsFunc callback, gpointer userData) {
    callback(agent, connection, nullptr, userData);
}

void dialAgentDeleteSecrets(NMSecretAgentOld* agent, NMConnection* connection, const char*,
                            NMSecretAgentOldDeleteSecretsFunc callback, gpointer userData) {
    callback(agent, connection, nullptr, userData);
}

void dialAgentClassInit(gpointer klass, gpointer) {
    auto* agentClass = static_cast<NMSecretAgentOldClass*>(klass);
    agentClass->get_secrets = dialAgentGetSecrets;
    agentClass->cancel_get_secrets = dialAgentCancelGetSecrets;
    agentClass->save_secrets = dialAgentSaveSecrets;
    agentClass->delete_secrets = dialAgentDeleteSecrets;
}

GType dialAgentType() {
    static const GType type = g_type_register_static_simple(
        NM_TYPE_SECRET_AGENT_OLD, "VpnConnectorDialAgent", sizeof(DialAgentClass),
        dialAgentClassInit, sizeof(DialAgent), nullptr, GTypeFlags{});
    return type;
}

// --- one call's connection to NetworkManager ---

class NmSession {
public:
    explicit NmSession(GMainContext* context) : context_(context) {}
    ~NmSession() {
        // libnm keeps the context busy until the agent and the client have let go of all they
        // started; wait for that (bounded), so nothing of this call runs during the next one.
        if (agent_) {
            waitForRelease(nm_secret_agent_old_get_context_busy_watcher(agent_.get()), [&] {
                nm_secret_agent_old_destroy(agent_.get());
                agent_.reset();
            });
        }
        if (client_) {
            waitForRelease(nm_client_get_context_busy_watcher(client_.get()),
                           [&] { client_.reset(); });
        }
        if (bus_) {
            GObjectPtr<GAsyncResult> result;
            if (callAndWait(
                    context_,
                    [&](GCancellable* cancellable, GAsyncReadyCallback ready, gpointer data) {
                        g_dbus_connection_close(bus_.get(), cancellable, ready, data);
                    },
                    result, kTeardownLimit)) {
                g_dbus_connection_close_finish(bus_.get(), result.get(), nullptr);
            }
        }
    }
    NmSession(const NmSession&) = delete;
    NmSession& operator=(const NmSession&) = delete;

    // Connects to the system bus and reads NetworkManager's state: 0, or why not.
    std::uint32_t open() {
        GError* rawError = nullptr;
        GObjectPtr<GAsyncResult> result;
        char* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &rawError);
        GErrorPtr addressError(rawError);
        if (!address)
            return kNoBus;
        const std::string busAddress = address;
        g_free(address);
        if (!callAndWait(
                context_,
                [&](GCancellable* cancellable, GAsyncReadyCallback ready, gpointer data) {
                    g_dbus_connection_new_for_address(
                        busAddress.c_str(),
                        static_cast<GDBusConnectionFlags>(
                            G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                        nullptr, cancellable, ready, data);
                },
                result, kRequestLimit)) {
            return kNoBus;
        }
        rawError = nullptr;
        bus_.reset(g_dbus_connection_new_for_address_finish(result.get(), &rawError));
        GErrorPtr busError(rawError);
        if (!bus_)
            return kNoBus;

        if (!callAndWait(
                context_,
                [&](GCancellable* cancellable, GAsyncReadyCallback ready, gpointer data) {
                    g_async_initable_new_async(
                        NM_TYPE_CLIENT, G_PRIORITY_DEFAULT, cancellable, ready, data,
                        NM_CLIENT_DBUS_CONNECTION, bus_.get(), NM_CLIENT_INSTANCE_FLAGS,
                        NM_CLIENT_INSTANCE_FLAGS_NO_AUTO_FETCH_PERMISSIONS, nullptr);
                },
                result, kRequestLimit)) {
            return kNoAnswer;
        }
        GObject* source = g_async_result_get_source_object(result.get());
        rawError = nullptr;
        GObject* client =
            g_async_initable_new_finish(G_ASYNC_INITABLE(source), result.get(), &rawError);
        g_object_unref(source);
        GErrorPtr clientError(rawError);
        if (!client)
            return kNoAnswer;
        client_.reset(NM_CLIENT(client));
        return nm_client_get_nm_running(client_.get()) ? 0 : kNotRunning;
    }

    NMClient* client() const { return client_.get(); }

    // The profiles whose id is exactly `entryName`.
    std::vector<NMRemoteConnection*> connectionsNamed(const std::string& entryName) const {
        std::vector<NMRemoteConnection*> found;
        const GPtrArray* all = nm_client_get_connections(client_.get());
        for (guint i = 0; i < all->len; ++i) {
            auto* connection = NM_REMOTE_CONNECTION(g_ptr_array_index(all, i));
            const char* id = nm_connection_get_id(NM_CONNECTION(connection));
            if (id && entryName == id)
                found.push_back(connection);
        }
        return found;
    }

    // Deletes the profile.
    bool remove(NMRemoteConnection* connection) {
        GObjectPtr<GAsyncResult> result;
        if (!callAndWait(
                context_,
                [&](GCancellable* cancellable, GAsyncReadyCallback ready, gpointer data) {
                    nm_remote_connection_delete_async(connection, cancellable, ready, data);
                },
                result, kRequestLimit)) {
            return false;
        }
        GError* rawError = nullptr;
        const bool deleted =
            nm_remote_connection_delete_finish(connection, result.get(), &rawError);
        GErrorPtr error(rawError);
        // A profile that vanished meanwhile counts as deleted.
        return deleted || isRemoteError(error.get(), "org.freedesktop.DBus.Error.UnknownMethod") ||
               isRemoteError(error.get(), "org.freedesktop.DBus.Error.UnknownObject");
    }

    // Registers the agent that answers NetworkManager's request for the dial's password.
    bool registerAgent(const DialSecrets& secrets) {
        // NetworkManager allows one agent per identifier and user: a fresh one for every dial,
        // so that the one of the previous dial, on its way out, never stands in the way.
        static std::atomic<unsigned> dials{0};
        const std::string identifier =
            "vpn-connector.dial." + std::to_string(getpid()) + "." + std::to_string(++dials);
        GObjectPtr<GAsyncResult> result;
        if (!callAndWait(
                context_,
                [&](GCancellable* cancellable, GAsyncReadyCallback ready, gpointer data) {
                    g_async_initable_new_async(dialAgentType(), G_PRIORITY_DEFAULT, cancellable,
                                               ready, data, NM_SECRET_AGENT_OLD_IDENTIFIER,
                                               identifier.c_str(),
                                               NM_SECRET_AGENT_OLD_DBUS_CONNECTION, bus_.get(),
                                               NM_SECRET_AGENT_OLD_AUTO_REGISTER, TRUE, nullptr);
                },
                result, kRequestLimit)) {
            return false;
        }
        GObject* source = g_async_result_get_source_object(result.get());
        GError* rawError = nullptr;
        GObject* agent =
            g_async_initable_new_finish(G_ASYNC_INITABLE(source), result.get(), &rawError);
        g_object_unref(source);
        GErrorPtr error(rawError);
        if (!agent)
            return false;
        agent_.reset(NM_SECRET_AGENT_OLD(agent));
        asDialAgent(agent_.get())->secrets = &secrets;
        return nm_secret_agent_old_get_registered(agent_.get());
    }

private:
    // Runs `drop` and iterates the context until `watcher` is gone, within the limit.
    void waitForRelease(GObject* watcher, const std::function<void()>& drop) {
        auto setFlag = [](gpointer flag, GObject*) { *static_cast<bool*>(flag) = true; };
        bool released = false;
        if (watcher)
            g_object_weak_ref(watcher, setFlag, &released);
        drop();
        if (!watcher)
            return;
        if (!iterateUntil(
                context_, [&] { return released; }, kTeardownLimit)) {
            g_object_weak_unref(watcher, setFlag, &released);
        }
    }

    GMainContext* context_;
    GObjectPtr<GDBusConnection> bus_;
    GObjectPtr<NMClient> client_;
    GObjectPtr<NMSecretAgentOld> agent_;
};

bool l2tpPluginInstalled() {
    GSList* plugins = nm_vpn_plugin_info_list_load();
    NMVpnPluginInfo* l2tp = nm_vpn_plugin_info_list_find_by_service(plugins, kL2tpServiceType);
    const char* program = l2tp ? nm_vpn_plugin_info_get_program(l2tp) : nullptr;
    const bool installed = program && g_file_test(program, G_FILE_TEST_IS_EXECUTABLE);
    g_slist_free_full(plugins, g_object_unref);
    return installed;
}

GVariant* entryConnection(const std::string& entryName, const std::string& uuid,
                          const std::string& userName, const VpnEntrySettings& settings) {
    NMConnection* connection = nm_simple_connection_new();

    NMSetting* general = nm_setting_connection_new();
    g_object_set(general, NM_SETTING_CONNECTION_ID, entryName.c_str(), NM_SETTING_CONNECTION_UUID,
                 uuid.c_str(), NM_SETTING_CONNECTION_TYPE, NM_SETTING_VPN_SETTING_NAME,
                 NM_SETTING_CONNECTION_AUTOCONNECT, FALSE, nullptr);
    nm_setting_connection_add_permission(NM_SETTING_CONNECTION(general), "user", userName.c_str(),
                                         nullptr);
    nm_connection_add_setting(connection, general);

    NMSetting* vpnSetting = nm_setting_vpn_new();
    g_object_set(vpnSetting, NM_SETTING_VPN_SERVICE_TYPE, kL2tpServiceType, nullptr);
    addVpnData(NM_SETTING_VPN(vpnSetting), settings);
    nm_connection_add_setting(connection, vpnSetting);

    NMSetting* ip4 = nm_setting_ip4_config_new();
    g_object_set(ip4, NM_SETTING_IP_CONFIG_METHOD, NM_SETTING_IP4_CONFIG_METHOD_AUTO,
                 NM_SETTING_IP_CONFIG_NEVER_DEFAULT, settings.remoteDefaultGateway ? FALSE : TRUE,
                 nullptr);
    nm_connection_add_setting(connection, ip4);

    NMSetting* ip6 = nm_setting_ip6_config_new();
    g_object_set(
        ip6, NM_SETTING_IP_CONFIG_METHOD,
        settings.ipv4Only ? NM_SETTING_IP6_CONFIG_METHOD_IGNORE : NM_SETTING_IP6_CONFIG_METHOD_AUTO,
        nullptr);
    nm_connection_add_setting(connection, ip6);

    GVariant* serialized = nullptr;
    if (nm_connection_verify(connection, nullptr)) {
        serialized =
            g_variant_ref_sink(nm_connection_to_dbus(connection, NM_CONNECTION_SERIALIZE_ALL));
    }
    g_object_unref(connection);
    return serialized;
}

bool isLive(NMActiveConnectionState state) {
    return state == NM_ACTIVE_CONNECTION_STATE_ACTIVATING ||
           state == NM_ACTIVE_CONNECTION_STATE_ACTIVATED;
}

// A failure code for the state the active connection ended in; never 0.
std::uint32_t failureCode(NMActiveConnection* active) {
    const auto reason = static_cast<std::uint32_t>(nm_active_connection_get_state_reason(active));
    return reason > NM_ACTIVE_CONNECTION_STATE_REASON_NONE ? reason : kFailedWithoutReason;
}

bool hasAddresses(NMActiveConnection* active) {
    NMIPConfig* config = nm_active_connection_get_ip4_config(active);
    return config && nm_ip_config_get_addresses(config)->len > 0;
}

class NetworkManagerDialUp final : public DialUpService {
public:
    NetworkManagerDialUp() : context_(g_main_context_new()) {}
    ~NetworkManagerDialUp() override { g_main_context_unref(context_); }
    NetworkManagerDialUp(const NetworkManagerDialUp&) = delete;
    NetworkManagerDialUp& operator=(const NetworkManagerDialUp&) = delete;

    bool writeEntry(const std::string& entryName, const VpnEntrySettings& settings) override {
        std::lock_guard lock(mutex_);
        ThreadDefaultContext threadDefault(context_);
        NmSession session(context_);
        if (session.open() != 0 || !l2tpPluginInstalled())
            return false;
        const std::string userName = currentUserName();
        if (userName.empty())
            return false;

        // A profile whose connection is up is rewritten in place: deleting it would hang up
        // the running connection. Every other profile of that name goes.
        NMRemoteConnection* kept = nullptr;
        for (NMRemoteConnection* connection : session.connectionsNamed(entryName)) {
            if (!kept && isActive(session, connection)) {
                kept = connection;
            } else if (!session.remove(connection)) {
                return false;
            }
        }

        char* freshUuid = nm_utils_uuid_generate();
        const std::string uuid =
            kept ? nm_connection_get_uuid(NM_CONNECTION(kept)) : std::string(freshUuid);
        g_free(freshUuid);
        GVariantPtr settingsVariant(entryConnection(entryName, uuid, userName, settings));
        if (!settingsVariant)
            return false;

        GObjectPtr<GAsyncResult> result;
        GError* rawError = nullptr;
        if (kept) {
            return updateInMemory(kept, settingsVariant.get()) == 0;
        }
        if (!callAndWait(
                context_,
                [&](GCancellable* cancellable, GAsyncReadyCallback ready, gpointer data) {
                    nm_client_add_connection2(
                        session.client(), settingsVariant.get(),
                        static_cast<NMSettingsAddConnection2Flags>(
                            NM_SETTINGS_ADD_CONNECTION2_FLAG_IN_MEMORY |
                            NM_SETTINGS_ADD_CONNECTION2_FLAG_BLOCK_AUTOCONNECT),
                        nullptr, TRUE, cancellable, ready, data);
                },
                result, kRequestLimit)) {
            return false;
        }
        GObjectPtr<NMRemoteConnection> added(
            nm_client_add_connection2_finish(session.client(), result.get(), nullptr, &rawError));
        GErrorPtr error(rawError);
        return added != nullptr;
    }

    std::uint32_t listConnections(std::vector<ActiveConnection>& out) override {
        std::lock_guard lock(mutex_);
        ThreadDefaultContext threadDefault(context_);
        out.clear();
        NmSession session(context_);
        if (const std::uint32_t code = session.open(); code != 0)
            return code;
        const GPtrArray* actives = nm_client_get_active_connections(session.client());
        for (guint i = 0; i < actives->len; ++i) {
            auto* active = NM_ACTIVE_CONNECTION(g_ptr_array_index(actives, i));
            // A connection on its way down is no longer one we could find and use.
            if (!isLive(nm_active_connection_get_state(active)))
                continue;
            const char* id = nm_active_connection_get_id(active);
            out.push_back({nm_object_get_path(NM_OBJECT(active)), id ? id : ""});
        }
        return 0;
    }

    std::uint32_t dial(const std::string& entryName, const std::string& user,
                       const std::string& password, ConnectionHandle& handle) override {
        std::lock_guard lock(mutex_);
        ThreadDefaultContext threadDefault(context_);
        handle.clear();
        // Outlives the session, and so the agent that reads it.
        DialSecrets secrets{{}, password};
        const std::uint32_t code = dialWith(entryName, user, secrets, handle);
        // Overwrite our copy of the password before its memory goes back.
        std::fill(secrets.password.begin(), secrets.password.end(), '\0');
        return code;
    }

    std::string errorText(std::uint32_t code) override {
        for (const CodeText& entry : kCodeTexts) {
            if (entry.code == code)
                return entry.text;
        }
        return "VPN 连接出错（错误代码 " + std::to_string(code) + "）。";
    }

    void hangUp(const ConnectionHandle& handle) override {
        std::lock_guard lock(mutex_);
        ThreadDefaultContext threadDefault(context_);
        if (handle.empty())
            return;
        NmSession session(context_);
        if (session.open() != 0)
            return;
        const GPtrArray* actives = nm_client_get_active_connections(session.client());
        for (guint i = 0; i < actives->len; ++i) {
            auto* active = NM_ACTIVE_CONNECTION(g_ptr_array_index(actives, i));
            if (handle != nm_object_get_path(NM_OBJECT(active)))
                continue;
            // Only the request is awaited, not the line going down; its errors do not matter.
            GObjectPtr<GAsyncResult> result;
            if (callAndWait(
                    context_,
                    [&](GCancellable* cancellable, GAsyncReadyCallback ready, gpointer data) {
                        nm_client_deactivate_connection_async(session.client(), active, cancellable,
                                                              ready, data);
                    },
                    result, kRequestLimit)) {
                GError* rawError = nullptr;
                nm_client_deactivate_connection_finish(session.client(), result.get(), &rawError);
                GErrorPtr error(rawError);
            }
            return;
        }
    }

    void deleteEntry(const std::string& entryName) override {
        std::lock_guard lock(mutex_);
        ThreadDefaultContext threadDefault(context_);
        NmSession session(context_);
        if (session.open() != 0)
            return;
        for (NMRemoteConnection* connection : session.connectionsNamed(entryName)) {
            session.remove(connection);
        }
    }

    std::string unavailableReason() override {
        std::lock_guard lock(mutex_);
        ThreadDefaultContext threadDefault(context_);
        NmSession session(context_);
        if (const std::uint32_t code = session.open(); code != 0)
            return errorText(code);
        if (!l2tpPluginInstalled())
            return errorText(kNoL2tpPlugin);
        return {};
    }

private:
    static bool isActive(const NmSession& session, NMRemoteConnection* connection) {
        const GPtrArray* actives = nm_client_get_active_connections(session.client());
        for (guint i = 0; i < actives->len; ++i) {
            auto* active = NM_ACTIVE_CONNECTION(g_ptr_array_index(actives, i));
            if (nm_active_connection_get_connection(active) == connection &&
                isLive(nm_active_connection_get_state(active))) {
                return true;
            }
        }
        return false;
    }

    std::uint32_t dialWith(const std::string& entryName, const std::string& user,
                           DialSecrets& secrets, ConnectionHandle& handle) {
        NmSession session(context_);
        if (const std::uint32_t code = session.open(); code != 0)
            return code;
        const std::vector<NMRemoteConnection*> named = session.connectionsNamed(entryName);
        if (named.empty())
            return kEntryMissing;
        NMRemoteConnection* profile = named.front();
        if (const std::uint32_t code = setUser(profile, user); code != 0)
            return code;
        secrets.connectionPath = nm_object_get_path(NM_OBJECT(profile));
        return activate(session, profile, secrets, handle);
    }

    // The L2TP plugin takes the user name from the profile: write it into the in-memory
    // profile for this dial. The password is not part of it (see the agent).
    std::uint32_t setUser(NMRemoteConnection* profile, const std::string& user) {
        NMConnection* copy = nm_simple_connection_new_clone(NM_CONNECTION(profile));
        NMSettingVpn* vpnSetting = nm_connection_get_setting_vpn(copy);
        if (!vpnSetting) {
            g_object_unref(copy);
            return kEntryMissing;
        }
        nm_setting_vpn_add_data_item(vpnSetting, "user", user.c_str());
        GVariantPtr settingsVariant(
            g_variant_ref_sink(nm_connection_to_dbus(copy, NM_CONNECTION_SERIALIZE_ALL)));
        g_object_unref(copy);
        return updateInMemory(profile, settingsVariant.get());
    }

    // Replaces the settings of an in-memory profile, keeping it in memory: 0, kNoAnswer or
    // kRequestRefused.
    std::uint32_t updateInMemory(NMRemoteConnection* profile, GVariant* settings) {
        GObjectPtr<GAsyncResult> result;
        if (!callAndWait(
                context_,
                [&](GCancellable* cancellable, GAsyncReadyCallback ready, gpointer data) {
                    nm_remote_connection_update2(profile, settings,
                                                 NM_SETTINGS_UPDATE2_FLAG_IN_MEMORY, nullptr,
                                                 cancellable, ready, data);
                },
                result, kRequestLimit)) {
            return kNoAnswer;
        }
        GError* rawError = nullptr;
        GVariantPtr updated(nm_remote_connection_update2_finish(profile, result.get(), &rawError));
        GErrorPtr error(rawError);
        return updated ? 0 : kRequestRefused;
    }

    std::uint32_t activate(NmSession& session, NMRemoteConnection* profile,
                           const DialSecrets& secrets, ConnectionHandle& handle) {
        if (!session.registerAgent(secrets))
            return kRequestRefused;

        GObjectPtr<GAsyncResult> result;
        if (!callAndWait(
                context_,
                [&](GCancellable* cancellable, GAsyncReadyCallback ready, gpointer data) {
                    nm_client_activate_connection_async(session.client(), NM_CONNECTION(profile),
                                                        nullptr, nullptr, cancellable, ready, data);
                },
                result, kRequestLimit)) {
            return kNoAnswer;
        }
        GError* rawError = nullptr;
        GObjectPtr<NMActiveConnection> active(
            nm_client_activate_connection_finish(session.client(), result.get(), &rawError));
        GErrorPtr error(rawError);
        if (!active)
            return isRemoteError(error.get(), kNoSourceConnection) ? kNoNetwork : kRequestRefused;
        handle = nm_object_get_path(NM_OBJECT(active.get()));

        // Up means the VPN itself reports connected and its addresses exist: the active
        // connection says "activated" earlier, while the VPN still gets its IP configuration.
        auto up = [&] {
            return NM_IS_VPN_CONNECTION(active.get()) &&
                   nm_vpn_connection_get_vpn_state(NM_VPN_CONNECTION(active.get())) ==
                       NM_VPN_CONNECTION_STATE_ACTIVATED &&
                   hasAddresses(active.get());
        };
        auto over = [&] {
            return !isLive(nm_active_connection_get_state(active.get())) ||
                   !isListed(session, active.get());
        };
        const int timeoutSeconds = vpnTimeoutSeconds(profile);
        const auto limit = (timeoutSeconds > 0 ? std::chrono::seconds(timeoutSeconds)
                                               : std::chrono::seconds(kDialDefaultLimit)) +
                           kDialMargin;
        iterateUntil(
            context_, [&] { return up() || over(); }, limit);
        if (up())
            return 0;
        if (over())
            return failureCode(active.get());
        return kDialTimedOut;
    }

    static bool isListed(const NmSession& session, NMActiveConnection* active) {
        const GPtrArray* actives = nm_client_get_active_connections(session.client());
        for (guint i = 0; i < actives->len; ++i) {
            if (g_ptr_array_index(actives, i) == active)
                return true;
        }
        return false;
    }

    static int vpnTimeoutSeconds(NMRemoteConnection* profile) {
        NMSettingVpn* vpnSetting = nm_connection_get_setting_vpn(NM_CONNECTION(profile));
        const guint32 seconds = vpnSetting ? nm_setting_vpn_get_timeout(vpnSetting) : 0;
        return static_cast<int>(std::min<guint32>(seconds, 24 * 60 * 60));
    }

    std::mutex mutex_;
    GMainContext* context_;
};

}  // namespace

std::unique_ptr<DialUpService> createDialUpService() {
    return std::make_unique<NetworkManagerDialUp>();
}

}  // namespace vpn
