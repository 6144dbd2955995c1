/*
 * libNerivo: an RTSP server inside the host's process.
 *
 * The host starts the server once, then pushes encoded frames per channel from
 * any of its threads. All RTSP/RTP work runs on one server thread of the
 * library; the host callback is only ever called on that thread.
 */
#ifndef NERIVO_H
#define NERIVO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(NERIVO_BUILDING_LIBRARY)
#define NERIVO_API __attribute__((visibility("default")))
#else
#define NERIVO_API
#endif

/* ---- Channel descriptor handed over at start-up (68 bytes). ---- */
typedef struct CHANNEL_INFO_T {
    int32_t channel_id;      /* host's number for the channel, >= 0 to be addressable */
    char stream_name[64];    /* NUL-terminated RTSP stream name */
} CHANNEL_INFO_T;

/* ---- Codec identifiers used in MEDIA_DESC_T. ---- */
#define NERIVO_CODEC_H264 0x1Cu
#define NERIVO_CODEC_H265 0x48323635u /* "H265" read big-endian */
#define NERIVO_CODEC_PCMU 0x10006u    /* G.711 mu-law */
#define NERIVO_CODEC_PCMA 0x10007u    /* G.711 A-law */
#define NERIVO_CODEC_G726 0x1100Bu
#define NERIVO_CODEC_AAC 0x15002u

/* ---- Media description filled by the host on CHANNEL_EVT_DESCRIBE (808 bytes). ---- */
typedef struct MEDIA_DESC_T {
    uint32_t video_codec;       /* NERIVO_CODEC_H264 / _H265; 0 = no video (not served) */
    uint32_t reserved1;
    uint32_t audio_codec;       /* NERIVO_CODEC_PCMU / _PCMA / _G726 / _AAC; 0 = no audio */
    uint32_t audio_sample_rate; /* Hz */
    uint32_t audio_channels;
    uint32_t audio_bits;        /* G.726 only: 16, 24, 32 or 40 kbit/s */
    uint32_t vps_length;        /* H.265 only, at most 255 */
    uint32_t sps_length;        /* at most 255 */
    uint32_t pps_length;        /* at most 258 */
    uint32_t reserved2;
    uint8_t vps[255];           /* parameter sets: NAL units without start codes */
    uint8_t sps[255];
    uint8_t pps[258];
} MEDIA_DESC_T;

/* ---- One encoded frame handed to Nerivo_PushFrame. ---- */
#define NERIVO_MEDIA_VIDEO 1u
#define NERIVO_MEDIA_AUDIO 2u
#define NERIVO_FRAME_KEY 1u /* frame_type of frames a reader may restart at */

typedef struct PUSH_FRAME_T {
    uint32_t media_type;     /* 1 = video, anything else = audio */
    uint32_t length;         /* bytes at data */
    uint32_t frame_type;     /* low byte used; 1 marks key frames */
    const uint8_t* data;     /* video: one NAL unit without start code; audio: one frame */
    uint32_t timestamp_sec;  /* presentation time; both 0 = stamped when read */
    uint32_t timestamp_usec;
} PUSH_FRAME_T;

/* ---- Host callback. Always called on the library's server thread. ---- */
#define CHANNEL_EVT_DESCRIBE 1 /* fill *media_desc; return < 0 to refuse */
#define CHANNEL_EVT_PLAY 2     /* frames of the channel are wanted from now on */
#define CHANNEL_EVT_STOP 3     /* the channel's session ended; frames no longer wanted */

typedef int (*SERVER_CALLBACK)(int channel_id, int event, MEDIA_DESC_T* media_desc,
                               void* user_ptr);

/*
 * Starts the server thread and waits (100 ms polls) until clients can connect.
 * auth_type 0 = Basic, other = Digest; authentication is on only when user_name
 * and password are both non-empty. realm NULL/empty = default realm.
 * Returns 0 running (or already running: a second call changes nothing),
 * -1 port 0, -2 channels NULL, -3 channel_count 0, -4 out of memory,
 * -5 the server could not start (reason in the log),
 * -6 user_name/password of 36 bytes or more, or realm of 64 or more.
 * At most 1024 channels are kept. Not to be called concurrently with Nerivo_Shutdown.
 */
NERIVO_API int Nerivo_Startup(unsigned short port, int auth_type, const char* realm,
                              const char* user_name, const char* password,
                              SERVER_CALLBACK callback, void* user_ptr,
                              const CHANNEL_INFO_T* channels, unsigned int channel_count);

/*
 * Stops the server thread, disconnects every client and frees the context.
 * No CHANNEL_EVT_STOP is sent. Returns 0, also when nothing runs.
 * Returns -7 when called from inside the callback (the server thread would wait
 * for itself); nothing is stopped then.
 */
NERIVO_API int Nerivo_Shutdown(void);

/*
 * Adds an account or replaces its password. Any thread.
 * Returns 0, -1 no server or no account table (authentication off),
 * -10 name or password NULL, empty, or of 36 bytes or more.
 */
NERIVO_API int Nerivo_AddUser(const char* user_name, const char* password);

/* Removes an account (unknown names are fine). Returns 0, -1 as above, -10 bad name. */
NERIVO_API int Nerivo_DelUser(const char* user_name);

/*
 * Copies one frame into the channel's queue. Any thread; the buffer may be reused
 * at once. Returns 0 accepted (stored, or dropped when no client has asked for the
 * channel yet or the queue has no room), -1 bad argument (frame NULL, data NULL,
 * length 0: logged as "Frame without data" / "Empty frame"), no server context,
 * unknown channel or reset pending, -2 server not running.
 * A frame larger than its queue (3 MiB video, 128 KiB audio) is dropped with the
 * line "Buffer too low.." and still returns 0; video frames beyond 1 MiB reach
 * clients cut to 1 MiB. NAL units that begin with a start code are sent as they
 * are, with an error line from the framer.
 */
NERIVO_API int Nerivo_PushFrame(int channel_id, const PUSH_FRAME_T* frame);

/*
 * Ends the channel's sessions (at the next loop step) and forgets its description.
 * Any thread. Returns 0, -1 negative id or no context, -2 server not running,
 * -3 unknown channel.
 */
NERIVO_API int Nerivo_ResetChannel(int channel_id);

#ifdef __cplusplus
}
#endif

#endif /* NERIVO_H */
