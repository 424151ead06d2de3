/* kc-virtual-pointer: gives a headless wlroots compositor (sway) a pointer
 * device, so that `swaymsg seat seat0 cursor ...` reaches the clients, and
 * holds it until the process is ended. With arguments it sends that pointer
 * input instead and ends:
 *   kc-virtual-pointer [move X Y WIDTH HEIGHT | press | release | sleep MS]...
 * (move is absolute, in an area of WIDTH x HEIGHT: the output's size in
 * points puts X, Y on the layout's points of a single output). */
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

static struct wl_seat *seat;
static struct zwlr_virtual_pointer_manager_v1 *manager;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version) {
    (void)data;
    (void)version;
    if (strcmp(interface, wl_seat_interface.name) == 0 && !seat)
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        manager = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
    (void)data;
    (void)registry;
    (void)name;
}

static const struct wl_registry_listener listener = {global, global_remove};

static uint32_t now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

int main(int argc, char **argv) {
    struct wl_display *display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "kc-virtual-pointer: no Wayland display\n");
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, NULL);
    wl_display_roundtrip(display);
    if (!manager) {
        fprintf(stderr, "kc-virtual-pointer: the compositor offers no virtual pointers\n");
        return 1;
    }
    struct zwlr_virtual_pointer_v1 *pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
    wl_display_roundtrip(display);
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "move") == 0 && i + 4 < argc) {
            zwlr_virtual_pointer_v1_motion_absolute(pointer, now_ms(), (uint32_t)atoi(argv[i + 1]),
                                                    (uint32_t)atoi(argv[i + 2]), (uint32_t)atoi(argv[i + 3]),
                                                    (uint32_t)atoi(argv[i + 4]));
            i += 4;
        } else if (strcmp(argv[i], "sleep") == 0 && i + 1 < argc) {
            usleep((useconds_t)atoi(argv[++i]) * 1000);
            continue;
        } else if (strcmp(argv[i], "press") == 0 || strcmp(argv[i], "release") == 0) {
            zwlr_virtual_pointer_v1_button(pointer, now_ms(), 0x110 /* BTN_LEFT */, argv[i][0] == 'p');
        } else {
            fprintf(stderr, "kc-virtual-pointer: unknown argument %s\n", argv[i]);
            return 2;
        }
        zwlr_virtual_pointer_v1_frame(pointer);
        wl_display_roundtrip(display);
    }
    if (argc > 1) {
        zwlr_virtual_pointer_v1_destroy(pointer);
        wl_display_roundtrip(display);
        wl_display_disconnect(display);
        return 0;
    }
    printf("ready\n");
    fflush(stdout);
    /* Hold the device until ended (the compositor forgets it then). */
    for (;;)
        pause();
}
