/* The public header used from C: a host that links the shared library. */
#include <stdio.h>
#include <string.h>

#include "Nerivo.h"

static int callback(int channel_id, int event, MEDIA_DESC_T* desc, void* user_ptr) {
    (void)channel_id; (void)event; (void)desc; (void)user_ptr;
    return -1;
}

int main(void) {
    CHANNEL_INFO_T channel;
    memset(&channel, 0, sizeof channel);
    strcpy(channel.stream_name, "live");
    PUSH_FRAME_T frame;
    memset(&frame, 0, sizeof frame);
    if (Nerivo_Startup(0, 0, NULL, NULL, NULL, callback, NULL, &channel, 1) != -1) return 1;
    if (Nerivo_PushFrame(0, &frame) != -1) return 2;
    if (Nerivo_Shutdown() != 0) return 3;
    puts("ok");
    return 0;
}
