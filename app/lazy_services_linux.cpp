#include <dlfcn.h>

#include <filesystem>

#include "app/lazy_services.h"
#include "app/services_module.h"

namespace vpn {

std::string ServicesModule::besideProgram() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return (program.parent_path() / "libvpn-services.so").string();
}

void ServicesModule::load() {
    std::call_once(loaded_, [this] {
        // RTLD_LOCAL: the module's libraries stay out of the program's symbol scope; the module
        // itself binds to the program's exported core (the same exception types among them).
        void* handle = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) {
            createHttpClient_ = reinterpret_cast<CreateHttpClient>(
                dlsym(handle, "vpn_services_create_http_client"));
            createDialUpService_ = reinterpret_cast<CreateDialUpService>(
                dlsym(handle, "vpn_services_create_dial_up_service"));
        }
        if (createHttpClient_ == nullptr || createDialUpService_ == nullptr) {
            const char* reason = dlerror();
            loadError_ = std::string("无法加载 VPN 服务模块：") +
                         (reason != nullptr ? reason : path_.c_str());
            createHttpClient_ = nullptr;
            createDialUpService_ = nullptr;
        }
    });
}

std::unique_ptr<HttpClient> ServicesModule::createHttpClient(const HttpLimits& limits) {
    load();
    if (createHttpClient_ == nullptr) {
        throw HttpError(loadError_);
    }
    return std::unique_ptr<HttpClient>(createHttpClient_(&limits));
}

std::unique_ptr<DialUpService> ServicesModule::createDialUpService() {
    load();
    return std::unique_ptr<DialUpService>(createDialUpService_ != nullptr ? createDialUpService_()
                                                                          : nullptr);
}

std::string ServicesModule::loadError() {
    load();
    return loadError_;
}

HttpResponse LazyHttpClient::get(const std::string& url) {
    if (!client_) {
        client_ = module_.createHttpClient(limits_);
    }
    return client_->get(url);
}

void LazyHttpClient::disconnect() {
    if (client_) {
        client_->disconnect();
    }
}

DialUpService* LazyDialUpService::service() {
    if (!tried_) {
        tried_ = true;
        service_ = module_.createDialUpService();
    }
    return service_.get();
}

bool LazyDialUpService::writeEntry(const std::string& entryName, const VpnEntrySettings& settings) {
    DialUpService* real = service();
    return real != nullptr && real->writeEntry(entryName, settings);
}

std::uint32_t LazyDialUpService::listConnections(std::vector<ActiveConnection>& out) {
    DialUpService* real = service();
    return real != nullptr ? real->listConnections(out) : kModuleMissing;
}

std::uint32_t LazyDialUpService::dial(const std::string& entryName, const std::string& user,
                                      const std::string& password, ConnectionHandle& handle) {
    DialUpService* real = service();
    return real != nullptr ? real->dial(entryName, user, password, handle) : kModuleMissing;
}

std::string LazyDialUpService::errorText(std::uint32_t code) {
    DialUpService* real = service();
    return real != nullptr ? real->errorText(code) : module_.loadError();
}

void LazyDialUpService::hangUp(const ConnectionHandle& handle) {
    if (DialUpService* real = service()) {
        real->hangUp(handle);
    }
}

void LazyDialUpService::deleteEntry(const std::string& entryName) {
    if (DialUpService* real = service()) {
        real->deleteEntry(entryName);
    }
}

std::string LazyDialUpService::unavailableReason() {
    DialUpService* real = service();
    return real != nullptr ? real->unavailableReason() : module_.loadError();
}

}  // namespace vpn
