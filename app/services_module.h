#pragma once

#include "net/http_client.h"
#include "vpn/dial_up_service.h"

// The entry points of libvpn-services.so, the module that holds the libcurl HTTP client and the
// NetworkManager dial-up service. The desktop program loads it on first use (app/lazy_services.h)
// so that starting the program does not load libcurl, libnm and what they pull in. Each returns a
// new object the caller owns.
extern "C" {
vpn::HttpClient* vpn_services_create_http_client(const vpn::HttpLimits* limits);
vpn::DialUpService* vpn_services_create_dial_up_service();
}
