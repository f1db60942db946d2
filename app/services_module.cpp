#include "app/services_module.h"

extern "C" {

vpn::HttpClient* vpn_services_create_http_client(const vpn::HttpLimits* limits) {
    return vpn::createHttpClient(*limits).release();
}

vpn::DialUpService* vpn_services_create_dial_up_service() {
    return vpn::createDialUpService().release();
}

}  // extern "C"
