// The parts of libusb the virtual bus does not simulate: asynchronous transfers, event
// handling, hot-plug and SuperSpeed descriptors. They exist so that a program referring to them
// still loads against the drop-in library; they answer as libusb does where a feature or
// descriptor is absent.

#include <libusb.h>

#include <cstdlib>

libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets) {
    if (isoPackets < 0) {
        return nullptr;
    }
    size_t size =
        sizeof(libusb_transfer) + sizeof(libusb_iso_packet_descriptor) * size_t(isoPackets);
    auto* transfer = static_cast<libusb_transfer*>(std::calloc(1, size));
    if (transfer != nullptr) {
        transfer->num_iso_packets = isoPackets;
    }
    return transfer;
}

void LIBUSB_CALL libusb_free_transfer(libusb_transfer* transfer) {
    if (transfer != nullptr && (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER)) {
        std::free(transfer->buffer);
    }
    std::free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer*) {
    return LIBUSB_ERROR_NOT_FOUND;
}

// Nothing is ever pending, so event handling has nothing to wait for.
int LIBUSB_CALL libusb_handle_events(libusb_context*) {
    return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_handle_events_completed(libusb_context*, int*) {
    return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_handle_events_timeout(libusb_context*, timeval*) {
    return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context*, timeval*, int*) {
    return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_handle_events_locked(libusb_context*, timeval*) {
    return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_try_lock_events(libusb_context*) {
    return 0;
}
void LIBUSB_CALL libusb_lock_events(libusb_context*) {}
void LIBUSB_CALL libusb_unlock_events(libusb_context*) {}
int LIBUSB_CALL libusb_event_handling_ok(libusb_context*) {
    return 1;
}
int LIBUSB_CALL libusb_event_handler_active(libusb_context*) {
    return 0;
}
void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context*) {}
void LIBUSB_CALL libusb_lock_event_waiters(libusb_context*) {}
void LIBUSB_CALL libusb_unlock_event_waiters(libusb_context*) {}
int LIBUSB_CALL libusb_wait_for_event(libusb_context*, timeval*) {
    return 1;
}
int LIBUSB_CALL libusb_pollfds_handle_timeouts(libusb_context*) {
    return 1;
}
int LIBUSB_CALL libusb_get_next_timeout(libusb_context*, timeval*) {
    return 0;
}
const libusb_pollfd** LIBUSB_CALL libusb_get_pollfds(libusb_context*) {
    return static_cast<const libusb_pollfd**>(std::calloc(1, sizeof(libusb_pollfd*)));
}
void LIBUSB_CALL libusb_free_pollfds(const libusb_pollfd** pollfds) {
    std::free(static_cast<void*>(pollfds));
}
void LIBUSB_CALL libusb_set_pollfd_notifiers(libusb_context*, libusb_pollfd_added_cb,
                                             libusb_pollfd_removed_cb, void*) {}

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context*, int, int, int, int, int,
                                                 libusb_hotplug_callback_fn, void*,
                                                 libusb_hotplug_callback_handle*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context*,
                                                    libusb_hotplug_callback_handle) {}

// Full-speed devices have no BOS or SuperSpeed descriptors: the request stalls.
int LIBUSB_CALL libusb_get_bos_descriptor(libusb_device_handle*, libusb_bos_descriptor**) {
    return LIBUSB_ERROR_PIPE;
}
void LIBUSB_CALL libusb_free_bos_descriptor(libusb_bos_descriptor*) {}
int LIBUSB_CALL libusb_get_ss_endpoint_companion_descriptor(
    libusb_context*, const libusb_endpoint_descriptor*, libusb_ss_endpoint_companion_descriptor**) {
    return LIBUSB_ERROR_NOT_FOUND;
}
void LIBUSB_CALL
libusb_free_ss_endpoint_companion_descriptor(libusb_ss_endpoint_companion_descriptor*) {}

int LIBUSB_CALL libusb_wrap_sys_device(libusb_context*, intptr_t, libusb_device_handle**) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_alloc_streams(libusb_device_handle*, uint32_t, unsigned char*, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_free_streams(libusb_device_handle*, unsigned char*, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
unsigned char* LIBUSB_CALL libusb_dev_mem_alloc(libusb_device_handle*, size_t) {
    return nullptr;
}
int LIBUSB_CALL libusb_dev_mem_free(libusb_device_handle*, unsigned char*, size_t) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_get_usb_2_0_extension_descriptor(libusb_context*,
                                                        libusb_bos_dev_capability_descriptor*,
                                                        libusb_usb_2_0_extension_descriptor**) {
    return LIBUSB_ERROR_NOT_FOUND;
}
void LIBUSB_CALL libusb_free_usb_2_0_extension_descriptor(libusb_usb_2_0_extension_descriptor*) {}
int LIBUSB_CALL libusb_get_ss_usb_device_capability_descriptor(
    libusb_context*, libusb_bos_dev_capability_descriptor*,
    libusb_ss_usb_device_capability_descriptor**) {
    return LIBUSB_ERROR_NOT_FOUND;
}
void LIBUSB_CALL
libusb_free_ss_usb_device_capability_descriptor(libusb_ss_usb_device_capability_descriptor*) {}
int LIBUSB_CALL libusb_get_container_id_descriptor(libusb_context*,
                                                   libusb_bos_dev_capability_descriptor*,
                                                   libusb_container_id_descriptor**) {
    return LIBUSB_ERROR_NOT_FOUND;
}
void LIBUSB_CALL libusb_free_container_id_descriptor(libusb_container_id_descriptor*) {}
int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device*, unsigned char) {
    return LIBUSB_ERROR_NOT_FOUND;  // no isochronous endpoints on the bus
}
void* LIBUSB_CALL libusb_hotplug_get_user_data(libusb_context*, libusb_hotplug_callback_handle) {
    return nullptr;
}
void LIBUSB_CALL libusb_transfer_set_stream_id(libusb_transfer*, uint32_t) {}
uint32_t LIBUSB_CALL libusb_transfer_get_stream_id(libusb_transfer*) {
    return 0;
}
