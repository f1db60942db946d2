#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/http_client.h"
#include "vpn/dial_up_service.h"

namespace vpn {

// libvpn-services.so (app/services_module.h), loaded the first time one of the proxies below is
// used. Loading is done once, whichever thread comes first; the module then stays loaded until
// the program ends, as GLib types and libcurl's global state cannot be unloaded.
class ServicesModule {
public:
    explicit ServicesModule(std::string path) : path_(std::move(path)) {}
    ServicesModule(const ServicesModule&) = delete;
    ServicesModule& operator=(const ServicesModule&) = delete;

    // The module's place: beside the running program.
    static std::string besideProgram();

    // Each throws HttpError when the module cannot be loaded.
    std::unique_ptr<HttpClient> createHttpClient(const HttpLimits& limits);
    // Returns null when the module cannot be loaded; loadError() then says why.
    std::unique_ptr<DialUpService> createDialUpService();
    // "无法加载 VPN 服务模块：<reason>" once a load has failed; empty otherwise.
    std::string loadError();

private:
    using CreateHttpClient = HttpClient* (*)(const HttpLimits*);
    using CreateDialUpService = DialUpService* (*)();

    void load();

    std::string path_;
    std::once_flag loaded_;
    CreateHttpClient createHttpClient_ = nullptr;
    CreateDialUpService createDialUpService_ = nullptr;
    std::string loadError_;
};

// The module's HTTP client, made on the first get(). Not thread-safe, like every HttpClient.
class LazyHttpClient : public HttpClient {
public:
    LazyHttpClient(ServicesModule& module, const HttpLimits& limits = {})
        : module_(module), limits_(limits) {}
    HttpResponse get(const std::string& url) override;
    void disconnect() override;

private:
    ServicesModule& module_;
    HttpLimits limits_;
    std::unique_ptr<HttpClient> client_;
};

// The module's dial-up service, made on the first call. When the module cannot be loaded every
// call fails with kModuleMissing, whose errorText() and unavailableReason() say why.
class LazyDialUpService : public DialUpService {
public:
    static constexpr std::uint32_t kModuleMissing = 0xFFFF'FFFFu;

    explicit LazyDialUpService(ServicesModule& module) : module_(module) {}
    bool writeEntry(const std::string& entryName, const VpnEntrySettings& settings) override;
    std::uint32_t listConnections(std::vector<ActiveConnection>& out) override;
    std::uint32_t dial(const std::string& entryName, const std::string& user,
                       const std::string& password, ConnectionHandle& handle) override;
    std::string errorText(std::uint32_t code) override;
    void hangUp(const ConnectionHandle& handle) override;
    void deleteEntry(const std::string& entryName) override;
    std::string unavailableReason() override;

private:
    // The real service, or null when the module cannot be loaded.
    DialUpService* service();

    ServicesModule& module_;
    std::unique_ptr<DialUpService> service_;
    bool tried_ = false;
};

}  // namespace vpn
