/*
 * zelmtest: a capture-only ALSA I/O plugin that stands in for a sound card
 * in the tests, so they drive the real libasound without hardware.
 *
 * Loaded by absolute path from a test configuration:
 *
 *   pcm_type.zelmtest { lib "/abs/path/libasound_module_pcm_zelmtest.so" }
 *   pcm.tp { type zelmtest  <options> }
 *
 * By default the device offers 2 channels, S16_LE and S24_3LE,
 * 44100..96000 Hz, and read/write and mmap access, interleaved and not.
 * Options (all optional):
 *
 *   channels 8                offer exactly this many channels (1 to 32)
 *   formats "S32_LE"          offer only the formats listed, comma-separated,
 *                             from S16_LE, S24_3LE, S32_LE (24-bit audio in
 *                             the upper three bytes, the low byte zero, as
 *                             USB interfaces deliver it) and S24_LE (24-bit
 *                             audio sign-extended into four bytes);
 *                             "S16_LE,S24_3LE" is the default
 *   rate 48000                offer this rate only
 *   access "interleaved"      offer RW_INTERLEAVED only, like a sound server's
 *                             plugin ("both" is the default). plug then puts
 *                             its mmap emulation in front, which reads all
 *                             that is available: use realtime with it, or
 *                             that layer skips ahead of its reader
 *   access "noninterleaved"   offer non-interleaved access only (read/write
 *                             and mmap), like some multichannel cards
 *   period_frames N           the only period size, in frames; needs a single
 *                             format, because ioplug constrains periods in
 *                             bytes and two frame sizes would let one byte
 *                             count mean two different frame counts
 *   fail_hw_params true       the hw_params callback fails with -EINVAL
 *   signal "ramp"             "ramp" (default), "sine", "demo" or "silence"
 *   freq 1000                 sine frequency in Hz
 *   level1 -6  level2 -12     sine peak per channel, dBFS
 *   cycle 8                   demo envelope period in seconds
 *   overrun_periods "3,7"     periods that overrun (see below); an integer
 *                             is accepted for a single period
 *   lost_after N              the device disappears after N periods
 *   lost_for_ms M             ... and comes back M ms after that: opening it
 *                             fails until then (see "Away and back");
 *                             needs state_file
 *   state_file "PATH"         where the device keeps what must outlive a
 *                             close: the time of its loss, whether it has
 *                             frozen, and (hardware) its clock's origin
 *   suspend_after N           the stream is suspended after N periods...
 *   suspend_ms M              ... for M ms (default 1000; see "Suspend")
 *   freeze_after N            the device stops delivering after N periods,
 *                             without any error (see below)
 *   realtime true             frames arrive at the rate, by CLOCK_MONOTONIC
 *   hardware true             frames arrive at the rate whether read or not,
 *                             and a reader that falls a buffer behind is
 *                             overrun, as on a sound card (see below);
 *                             implies realtime
 *
 * Every sample is a pure function of the absolute frame index n and the
 * channel c (0 .. N-1 of N channels), so tests can predict every byte. n
 * counts device time: 0 is the first frame after hw_params, and frames lost
 * to an overrun still take up their indexes. With hardware, n is the
 * device's clock: the frames of time since the first start after
 * hw_params, whether they were read or not. Values v are two's complement
 * of bits = 16 (S16_LE) or 24 (the other formats), stored little-endian:
 * S32_LE stores v * 256, S24_LE sign-extends v. FS = 2^(bits-1).
 *
 *   ramp     v = ((N n + c) * 4099 + 1) mod 2^bits. The odd multiplier walks
 *            every value and changes all three bytes of a 24-bit sample
 *            within the first period, with distinct values per channel.
 *   sine     v = round(FS * 10^(level_c / 20) * sin(2 pi freq n / rate)),
 *            clamped to -FS .. FS-1; level_c is level1, level2, then 1 dB
 *            less for each further channel (level2 - 1, level2 - 2, ...).
 *   demo     a 440 Hz sine whose level follows a raised-cosine envelope of
 *            `cycle` seconds from -40 dBFS up to +4 dBFS and back; channel 2
 *            sits 6 dB below channel 1, and each further channel 1 dB below
 *            the one before. Values are clamped to -FS .. FS-1, so channel 1
 *            really clips near the top of each cycle.
 *   silence  v = 0.
 *
 * Positions. The stream's frame s (counted from the start after a prepare)
 * is device frame origin + s. hw_params sets origin to 0. A prepare after an
 * overrun sets it to the frame after the lost period; any other prepare
 * continues with the first frame the application has not taken yet. With
 * hardware, every start (the first, and the automatic one after a prepare)
 * sets origin to the frame the clock has reached by then: whatever the
 * reader did not take before is gone, and the values show which frames.
 *
 * Overrun of period k (k counts periods of the negotiated size from n = 0):
 * the stream never makes frames of k*P .. (k+1)*P-1 available. When the
 * application has taken everything before k*P (and, with realtime, the
 * clock has passed (k+1)*P), the pointer callback returns -EPIPE, ioplug
 * moves to XRUN, and the read returns -EPIPE. After snd_pcm_prepare, the
 * next read delivers frames from (k+1)*P on: the lost period's frames are
 * skipped, as on hardware that kept running.
 *
 * Lost device: once N*P frames have been delivered since hw_params, the
 * stream moves to DISCONNECTED; the next read returns -ENODEV, and so does
 * every later read and snd_pcm_prepare. The handle never recovers; with
 * state_file, a new open is refused too until the device is back (see
 * "Away and back").
 *
 * Frozen device (a sound server that hangs): once N*P frames have been
 * made available since hw_params (earlier runs count what their reader
 * took), no more frames ever come and nothing else happens: no error, no
 * overrun or lost device scheduled at or after that point, the state stays
 * RUNNING, a non-blocking read returns -EAGAIN and a blocking one waits for
 * ever. The descriptor lets a poller in once more for the frames before the
 * freeze (however few), then never again. Works with and without realtime.
 * Only a new hw_params thaws it.
 *
 * Pacing. Without realtime, frames are always available (up to one frame
 * short of a full buffer) and the poll descriptor is always readable, as on
 * the null device (until a freeze). With realtime, frame s of a run exists
 * once the run has been started for s/rate seconds, and a timerfd is the
 * poll descriptor. It reports readable once a period is available, once
 * the frames before an overrun, unplug or freeze are all there (however
 * few), and once an event is due. A reader that falls behind is not
 * overrun: the device holds back rather than drop frames, which keeps slow
 * test machines deterministic.
 *
 * The realtime descriptor is level-triggered, like a card's: it stays
 * readable while the above holds, and is otherwise armed for the moment it
 * may next hold (never, once frozen), so poll() on the descriptors from
 * snd_pcm_poll_descriptors wakes when snd_pcm_poll_descriptors_revents will
 * say POLLIN (at most one wake-up is spurious), and a reader that is more
 * than a period behind is let in at once. A poller has to start the stream (snd_pcm_start, or a first read)
 * before it waits: a prepared stream makes no frames. Non-blocking streams
 * (SND_PCM_NONBLOCK or snd_pcm_nonblock) follow libasound's rule for every
 * device: a read returns what is there, fewer frames than asked if need be,
 * and -EAGAIN only when nothing is.
 *
 * Hardware. As with realtime, but the clock never waits for the reader.
 * Frames exist once the clock reaches them, and the buffer holds the
 * negotiated buffer size. Once the frames that exist minus those taken reach
 * the buffer size (a card's default stop threshold), the pointer callback
 * returns -EPIPE: ioplug moves to XRUN, the read returns -EPIPE, and the
 * descriptor lets a poller in for it. After snd_pcm_prepare, the next read
 * restarts the stream at the clock's current frame. overrun_periods works
 * as above, counted on the clock; a stream restarted inside a lost period
 * loses the rest of it, and its overrun is reported once the clock has
 * passed that period. lost_after and freeze_after count frames delivered,
 * as above; a frozen device makes no frames, so it never overruns.
 *
 * Away and back (state_file). A PCM is unloaded with its last handle, so
 * what a device must remember across a close and a new open is kept in the
 * named file, one per device (the test's own folder; a missing file is a
 * device never opened). An open after the loss of lost_after fails with
 * -ENODEV, as a card that was unplugged does, until lost_for_ms have passed
 * since the loss (by CLOCK_MONOTONIC), and for ever without lost_for_ms;
 * then it succeeds and takes the same parameters. Each event happens once
 * per state file: a device that came back is never lost again, and one
 * that froze (freeze_after) is thawed by the new open and never freezes
 * again. With hardware, the clock's origin is kept too: a device opened
 * again counts on from the first start of the first open, so the ramp's
 * values after the reopen say how long it was away, frame by frame.
 * Without hardware a new open starts at device frame 0, as ever.
 *
 * Suspend. Once N*P frames have been delivered since hw_params (counted as
 * for lost_after, once per hw_params), the stream moves to SUSPENDED: reads
 * return -ESTRPIPE (a non-blocking read that finds it without a poll first
 * returns -EAGAIN, libasound having looked at the state before it asked the
 * device). A poller is let in for it with POLLERR and POLLIN, and then not
 * before suspend_ms have passed, when it is let in the same way again. snd_pcm_resume brings it back once they have passed, and not
 * before: ioplug throws away what its resume callback answers and returns 0
 * in every case, so a reader learns whether it worked from snd_pcm_state
 * (still SUSPENDED, or RUNNING again). A resumed hardware stream goes on at
 * the frame its clock has reached, as a card does after the machine slept:
 * what the clock made meanwhile is gone and the ramp shows which frames.
 * Without hardware it goes on with the next frame and loses nothing.
 * snd_pcm_prepare works during the suspend too and ends it at once, as on a
 * driver that cannot resume (-ENOSYS): the stream then starts anew, at the
 * clock with hardware.
 */

#include <errno.h>
#include <math.h>
#include <limits.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

/* The build system compiles this module with -fPIC but does not define PIC,
 * which alsa/global.h needs to export the versioned entry-point symbol
 * rather than the static-build registration. */
#ifndef PIC
#define PIC
#endif
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#define FORMAT_S16 1u
#define FORMAT_S24_3 2u
#define FORMAT_S32 4u
#define FORMAT_S24_4 8u
#define MAX_CHANNELS 32
#define MAX_OVERRUNS 64
#define NO_LIMIT UINT64_MAX

enum signal_kind { SIGNAL_RAMP, SIGNAL_SINE, SIGNAL_DEMO, SIGNAL_SILENCE };
enum event { EVENT_NONE, EVENT_XRUN, EVENT_LOST, EVENT_SUSPEND };

static const struct format_info {
	const char *name;
	unsigned int flag;
	snd_pcm_format_t format;
	unsigned int bytes; /* stored per sample */
	unsigned int bits;  /* of the value */
	unsigned int shift; /* of the value within the stored sample */
} format_table[] = {
	{ "S16_LE", FORMAT_S16, SND_PCM_FORMAT_S16_LE, 2, 16, 0 },
	{ "S24_3LE", FORMAT_S24_3, SND_PCM_FORMAT_S24_3LE, 3, 24, 0 },
	{ "S32_LE", FORMAT_S32, SND_PCM_FORMAT_S32_LE, 4, 24, 8 },
	{ "S24_LE", FORMAT_S24_4, SND_PCM_FORMAT_S24_LE, 4, 24, 0 },
};
#define FORMAT_COUNT (sizeof(format_table) / sizeof(format_table[0]))

struct zelmtest {
	snd_pcm_ioplug_t io;

	/* configuration */
	unsigned int channels;
	unsigned int formats;
	unsigned int fixed_rate;
	int interleaved_only;
	int noninterleaved_only;
	unsigned int period_frames;
	int fail_hw_params;
	enum signal_kind signal;
	double freq;
	double level[2];
	double cycle;
	uint64_t overrun[MAX_OVERRUNS];
	unsigned int overrun_count;
	long long lost_after;
	long long lost_for_ms; /* -1: for good */
	long long freeze_after;
	long long suspend_after;
	long long suspend_ms;
	char state_path[PATH_MAX]; /* empty: nothing outlives a close */
	int realtime;
	int hardware;

	/* negotiated by hw_params */
	unsigned int rate;
	unsigned int sample_bytes; /* stored */
	unsigned int value_bits;
	unsigned int value_shift;
	uint64_t period;
	uint64_t buffer;

	/* stream positions, in frames */
	uint64_t origin;    /* device frame of stream frame 0 */
	uint64_t hw;        /* stream frames made available so far */
	uint64_t taken;     /* stream frames the application has taken */
	uint64_t filled;    /* stream frames written to the mmap ring */
	uint64_t delivered; /* frames delivered by earlier runs since hw_params */
	uint64_t resume_origin;
	int overrun_pending;
	int lost;
	int running;
	/* the clock: stream frame s exists once frames_in(now - clock_ns)
	 * reaches clock_frame + s */
	uint64_t clock_ns;
	uint64_t clock_frame;
	uint64_t epoch_ns; /* hardware: the first start since hw_params */
	int epoch_set;
	int timer_fd;

	/* what state_path keeps; 0 for not yet */
	uint64_t saved_epoch_ns;
	uint64_t lost_ns;
	int frozen;

	int suspended;    /* SUSPENDED until suspend_end_ns */
	int suspend_done; /* since hw_params */
	uint64_t suspend_end_ns;
};

static uint64_t now_ns(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void arm_timer(struct zelmtest *zt, uint64_t first_ns, uint64_t interval_ns)
{
	struct itimerspec its;
	memset(&its, 0, sizeof(its));
	its.it_value.tv_sec = (time_t)(first_ns / 1000000000u);
	its.it_value.tv_nsec = (long)(first_ns % 1000000000u);
	its.it_interval.tv_sec = (time_t)(interval_ns / 1000000000u);
	its.it_interval.tv_nsec = (long)(interval_ns % 1000000000u);
	timerfd_settime(zt->timer_fd, first_ns ? TFD_TIMER_ABSTIME : 0, &its, NULL);
}

/* An expired one-shot timer that nobody reads keeps the descriptor readable,
 * so a poller wakes at once and learns the news from poll_revents. */
static void wake_now(struct zelmtest *zt)
{
	struct itimerspec its;
	memset(&its, 0, sizeof(its));
	its.it_value.tv_nsec = 1;
	timerfd_settime(zt->timer_fd, 0, &its, NULL);
}

static void disarm_timer(struct zelmtest *zt)
{
	arm_timer(zt, 0, 0);
}

/* Whole frames in ns nanoseconds, split so that hours of audio cannot
 * overflow. */
static uint64_t frames_in(uint64_t ns, unsigned int rate)
{
	return ns / 1000000000u * rate + ns % 1000000000u * rate / 1000000000u;
}

/* The first nanosecond at which frames_in() reaches `frames`. */
static uint64_t ns_for(uint64_t frames, unsigned int rate)
{
	return frames / rate * 1000000000u + (frames % rate * 1000000000u + rate - 1) / rate;
}

/* Stream frames that exist by now; unbounded without realtime. */
static uint64_t produced(const struct zelmtest *zt)
{
	if (!zt->realtime)
		return NO_LIMIT;
	return frames_in(now_ns() - zt->clock_ns, zt->rate) - zt->clock_frame;
}

/* Stream frames at which the next lost period starts and ends. A hardware
 * stream restarts wherever the clock is, often inside a lost period (the
 * one after the period that just overran, say): the rest of it is lost. */
static uint64_t overrun_at(const struct zelmtest *zt, uint64_t *end)
{
	uint64_t best = NO_LIMIT;
	unsigned int i;
	*end = NO_LIMIT;
	for (i = 0; i < zt->overrun_count; i++) {
		uint64_t start = zt->overrun[i] * zt->period;
		uint64_t stop = start + zt->period;
		if (start < zt->origin && !(zt->hardware && stop > zt->origin))
			continue;
		start = start > zt->origin ? start - zt->origin : 0;
		if (start < best) {
			best = start;
			*end = stop - zt->origin;
		}
	}
	return best;
}

/* Stream frame reached after `periods` periods since hw_params. */
static uint64_t after_periods(const struct zelmtest *zt, long long periods)
{
	uint64_t total;
	if (periods < 0)
		return NO_LIMIT;
	total = (uint64_t)periods * zt->period;
	return total > zt->delivered ? total - zt->delivered : 0;
}

/* What lies ahead of the stream, in stream frames (NO_LIMIT for never).
 * Nothing happens after a freeze, not even a scheduled event. */
struct outlook {
	uint64_t xrun, xrun_end; /* the next lost period */
	uint64_t lost;           /* the device disappears */
	uint64_t suspend;        /* the stream is suspended */
	uint64_t freeze;         /* no more frames, no error */
	uint64_t now;            /* frames the clock has made, up to the freeze */
};

static struct outlook look_ahead(const struct zelmtest *zt)
{
	struct outlook o;
	o.xrun = overrun_at(zt, &o.xrun_end);
	o.lost = after_periods(zt, zt->lost_after);
	o.suspend = zt->suspend_done ? NO_LIMIT : after_periods(zt, zt->suspend_after);
	o.freeze = after_periods(zt, zt->freeze_after);
	o.now = produced(zt);
	if (o.xrun >= o.freeze)
		o.xrun = o.xrun_end = NO_LIMIT;
	if (o.lost >= o.freeze)
		o.lost = NO_LIMIT;
	if (o.suspend >= o.freeze)
		o.suspend = NO_LIMIT;
	if (o.now > o.freeze)
		o.now = o.freeze;
	return o;
}

/* Stream frame at which the device holds back for the next event. */
static uint64_t held_at(const struct outlook *o)
{
	uint64_t at = o->xrun < o->lost ? o->xrun : o->lost;
	return at < o->suspend ? at : o->suspend;
}

/* Advances hw as far as time, the scheduled events and a freeze allow, and
 * reports an event once the application has taken everything before it, or
 * (hardware) once it has fallen a whole buffer behind the clock, the stop
 * threshold of a card. hw never runs a whole buffer ahead of the
 * application: ioplug reads the pointer modulo the buffer size, and a full
 * lap would look like no progress. */
static enum event advance(struct zelmtest *zt, struct outlook *o)
{
	uint64_t target = zt->taken + zt->buffer - 1;

	*o = look_ahead(zt);
	if (held_at(o) < target)
		target = held_at(o);
	if (o->freeze < target)
		target = o->freeze;
	if (o->now < target)
		target = o->now;
	if (target > zt->hw)
		zt->hw = target;

	if (zt->taken >= o->lost)
		return EVENT_LOST;
	if (zt->taken >= o->suspend)
		return EVENT_SUSPEND;
	if (zt->taken >= o->xrun && o->now >= o->xrun_end)
		return EVENT_XRUN;
	if (zt->hardware && o->now >= zt->taken + zt->buffer)
		return EVENT_XRUN;
	return EVENT_NONE;
}

/* Whether a poller is to be let in: a period is there, an event is due, or
 * the frames before an event or a freeze are all there (however few). If
 * not, *next is the stream frame whose arrival may change that, NO_LIMIT if
 * none will. */
static int ready(struct zelmtest *zt, uint64_t *next)
{
	struct outlook o;
	uint64_t hold, wanted = zt->taken + zt->period;

	*next = NO_LIMIT;
	if (advance(zt, &o) != EVENT_NONE || zt->hw - zt->taken >= zt->period)
		return 1;
	hold = held_at(&o) < o.freeze ? held_at(&o) : o.freeze;
	if (zt->hw > zt->taken && zt->hw == hold)
		return 1;
	if (hold >= wanted)
		*next = wanted;
	else if (hold > zt->taken)
		*next = hold;
	else if (hold != o.freeze)
		*next = o.xrun_end; /* taken up to a lost period: its end */
	return 0;
}

static int64_t clamp_sample(double v, unsigned int bits)
{
	double fs = ldexp(1.0, (int)bits - 1);
	if (v > fs - 1)
		return (int64_t)(fs - 1);
	if (v < -fs)
		return (int64_t)-fs;
	return (int64_t)llround(v);
}

/* The value of device frame n on channel c, in two's complement of
 * value_bits. */
static int64_t sample_value(const struct zelmtest *zt, uint64_t n, unsigned int c)
{
	unsigned int bits = zt->value_bits;
	double fs = ldexp(1.0, (int)bits - 1);
	double t = (double)n / zt->rate;
	/* Channels 3 and up sit 1 dB below the channel before. */
	double further = c > 1 ? c - 1.0 : 0.0;

	switch (zt->signal) {
	case SIGNAL_RAMP: {
		uint64_t mask = ((uint64_t)1 << bits) - 1;
		uint64_t sign = (uint64_t)1 << (bits - 1);
		uint64_t v = ((zt->channels * n + c) * 4099u + 1) & mask;
		return (int64_t)(v ^ sign) - (int64_t)sign;
	}
	case SIGNAL_SINE: {
		double level = zt->level[c ? 1 : 0] - further;
		return clamp_sample(fs * pow(10.0, level / 20.0) *
				    sin(2 * M_PI * fmod(zt->freq * t, 1.0)), bits);
	}
	case SIGNAL_DEMO: {
		double env = -40.0 + 44.0 * (0.5 - 0.5 * cos(2 * M_PI * fmod(t / zt->cycle, 1.0)));
		double db = env - (c ? 6.0 : 0.0) - further;
		return clamp_sample(fs * pow(10.0, db / 20.0) *
				    sin(2 * M_PI * fmod(440.0 * t, 1.0)), bits);
	}
	case SIGNAL_SILENCE:
	default:
		return 0;
	}
}

static void fill(const struct zelmtest *zt, const snd_pcm_channel_area_t *areas,
		 snd_pcm_uframes_t offset, snd_pcm_uframes_t size, uint64_t first)
{
	snd_pcm_uframes_t i;
	unsigned int c, b;
	for (c = 0; c < zt->channels; c++) {
		const snd_pcm_channel_area_t *a = &areas[c];
		for (i = 0; i < size; i++) {
			uint64_t v = (uint64_t)sample_value(zt, first + i, c) << zt->value_shift;
			unsigned char *p = (unsigned char *)a->addr +
				(a->first + (offset + i) * a->step) / 8;
			for (b = 0; b < zt->sample_bytes; b++)
				p[b] = (unsigned char)(v >> (8 * b));
		}
	}
}

/* Keeps the descriptor level-triggered, as a card's is: readable while a
 * poller is to be let in, otherwise from the moment that may change (the
 * expiry stays readable until poll_revents reads it), never when frozen.
 * Returns whether the poller is to be let in now. */
static int rearm(struct zelmtest *zt)
{
	uint64_t next;
	if (ready(zt, &next)) {
		wake_now(zt);
		return 1;
	}
	if (next == NO_LIMIT)
		disarm_timer(zt);
	else
		arm_timer(zt, zt->clock_ns + ns_for(zt->clock_frame + next, zt->rate), 0);
	return 0;
}

/* What state_path holds, as one line of text. Written whole to a
 * neighbour and renamed into place, so a reader never sees half of it. */
static void save_state(const struct zelmtest *zt)
{
	char tmp[PATH_MAX + 8];
	FILE *f;
	if (!zt->state_path[0])
		return;
	snprintf(tmp, sizeof(tmp), "%s.new", zt->state_path);
	f = fopen(tmp, "w");
	if (!f)
		return;
	fprintf(f, "epoch %llu lost %llu frozen %d\n", (unsigned long long)zt->saved_epoch_ns,
		(unsigned long long)zt->lost_ns, zt->frozen);
	if (fclose(f) == 0)
		rename(tmp, zt->state_path);
}

static void load_state(struct zelmtest *zt)
{
	unsigned long long epoch = 0, lost = 0;
	int frozen = 0;
	FILE *f = fopen(zt->state_path, "r");
	if (!f)
		return;
	if (fscanf(f, "epoch %llu lost %llu frozen %d", &epoch, &lost, &frozen) == 3) {
		zt->saved_epoch_ns = epoch;
		zt->lost_ns = lost;
		zt->frozen = frozen;
	}
	fclose(f);
}

/* A device that was lost stays away for lost_for_ms (for good without it);
 * one that is back, or thawed by this open, has had its event. */
static int come_back(struct zelmtest *zt)
{
	if (!zt->state_path[0])
		return 0;
	load_state(zt);
	if (zt->lost_ns) {
		if (zt->lost_for_ms < 0 ||
		    now_ns() - zt->lost_ns < (uint64_t)zt->lost_for_ms * 1000000u)
			return -ENODEV;
		zt->lost_after = -1;
	}
	if (zt->frozen)
		zt->freeze_after = -1;
	return 0;
}

static int zt_start(snd_pcm_ioplug_t *io)
{
	struct zelmtest *zt = io->private_data;
	uint64_t now = now_ns();
	zt->running = 1;
	if (zt->hardware) {
		/* The card's clock ran on while the stream was stopped. */
		if (!zt->epoch_set) {
			zt->epoch_ns = now;
			zt->epoch_set = 1;
			if (zt->state_path[0]) {
				zt->saved_epoch_ns = now;
				save_state(zt);
			}
		}
		zt->clock_ns = zt->epoch_ns;
		zt->origin = frames_in(now - zt->epoch_ns, zt->rate);
		zt->clock_frame = zt->origin;
	} else {
		zt->clock_ns = now;
		zt->clock_frame = 0;
	}
	if (zt->realtime)
		rearm(zt);
	return 0;
}

static int zt_stop(snd_pcm_ioplug_t *io)
{
	struct zelmtest *zt = io->private_data;
	zt->running = 0;
	if (zt->realtime)
		disarm_timer(zt);
	return 0;
}

static void note_taken(struct zelmtest *zt)
{
	if (zt->io.appl_ptr > zt->taken)
		zt->taken = zt->io.appl_ptr;
}

static void suspend(struct zelmtest *zt)
{
	zt->suspended = 1;
	zt->suspend_done = 1;
	zt->suspend_end_ns = now_ns() + (uint64_t)zt->suspend_ms * 1000000u;
	zt->running = 0;
	snd_pcm_ioplug_set_state(&zt->io, SND_PCM_STATE_SUSPENDED);
	wake_now(zt);
}

static snd_pcm_sframes_t zt_pointer(snd_pcm_ioplug_t *io)
{
	struct zelmtest *zt = io->private_data;
	struct outlook o;
	enum event ev;

	note_taken(zt);
	if (zt->lost) {
		snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
		return (snd_pcm_sframes_t)(zt->hw % zt->buffer);
	}
	if (zt->suspended) {
		snd_pcm_ioplug_set_state(io, SND_PCM_STATE_SUSPENDED);
		return (snd_pcm_sframes_t)(zt->hw % zt->buffer);
	}
	if (!zt->running)
		return (snd_pcm_sframes_t)(zt->hw % zt->buffer);

	ev = advance(zt, &o);
	if (zt->freeze_after >= 0 && !zt->frozen && zt->hw >= o.freeze) {
		zt->frozen = 1;
		save_state(zt);
	}
	if (ev == EVENT_LOST) {
		/* A negative pointer would only ever mean XRUN to ioplug; a
		 * disconnect has to be a state, which reads turn into -ENODEV. */
		zt->lost = 1;
		zt->running = 0;
		zt->lost_ns = now_ns();
		save_state(zt);
		snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
		wake_now(zt);
	} else if (ev == EVENT_SUSPEND) {
		suspend(zt);
	} else if (ev == EVENT_XRUN) {
		zt->overrun_pending = 1;
		/* A hardware stream restarts where the clock is instead. */
		if (!zt->hardware)
			zt->resume_origin = zt->origin + o.xrun_end;
		zt->running = 0;
		wake_now(zt);
		return -EPIPE;
	}
	return (snd_pcm_sframes_t)(zt->hw % zt->buffer);
}

static int rw_access(const snd_pcm_ioplug_t *io)
{
	return io->access == SND_PCM_ACCESS_RW_INTERLEAVED ||
	       io->access == SND_PCM_ACCESS_RW_NONINTERLEAVED;
}

static snd_pcm_sframes_t zt_transfer(snd_pcm_ioplug_t *io,
				     const snd_pcm_channel_area_t *areas,
				     snd_pcm_uframes_t offset,
				     snd_pcm_uframes_t size)
{
	struct zelmtest *zt = io->private_data;
	uint64_t first = io->appl_ptr;

	if (rw_access(io)) {
		/* offset is into the reader's buffer; ioplug advances appl_ptr
		 * by our result afterwards. */
		fill(zt, areas, offset, size, zt->origin + first);
		if (first + size > zt->taken)
			zt->taken = first + size;
		/* Spares a poller the wake-up for frames it has just taken. */
		if (zt->realtime && zt->running)
			rearm(zt);
		return (snd_pcm_sframes_t)size;
	}

	/* mmap: ioplug asks again for everything between appl_ptr and hw on
	 * every avail_update, offset being a place in the ring. Frames written
	 * before are still in place, so only the new ones are computed. */
	first += (offset + zt->buffer - first % zt->buffer) % zt->buffer;
	if (zt->filled > first) {
		uint64_t skip = zt->filled - first;
		if (skip >= size)
			return (snd_pcm_sframes_t)size;
		fill(zt, areas, offset + skip, size - skip, zt->origin + zt->filled);
	} else {
		fill(zt, areas, offset, size, zt->origin + first);
	}
	zt->filled = first + size;
	return (snd_pcm_sframes_t)size;
}

static int zt_prepare(snd_pcm_ioplug_t *io)
{
	struct zelmtest *zt = io->private_data;
	if (zt->lost)
		return -ENODEV;
	if (zt->overrun_pending)
		zt->origin = zt->resume_origin;
	else
		zt->origin += zt->taken;
	zt->delivered += zt->taken;
	zt->taken = 0;
	zt->filled = 0;
	zt->hw = 0;
	zt->overrun_pending = 0;
	zt->running = 0;
	zt->suspended = 0;
	if (zt->realtime)
		disarm_timer(zt);
	else
		wake_now(zt); /* readable again unless still frozen */
	return 0;
}

/* Once the suspend is over, the stream goes on from the next frame the
 * application takes: that is the clock's frame now with hardware (the
 * clock ran on), the next device frame otherwise. The suspend held the
 * stream at the application, so nothing available is left untaken. */
static int zt_resume(snd_pcm_ioplug_t *io)
{
	struct zelmtest *zt = io->private_data;
	uint64_t now = now_ns();
	if (!zt->suspended)
		return 0;
	if (now < zt->suspend_end_ns)
		return -EAGAIN; /* ioplug drops this: the state says it */
	zt->suspended = 0;
	zt->running = 1;
	if (zt->hardware) {
		zt->origin = frames_in(now - zt->epoch_ns, zt->rate) - zt->taken;
		zt->clock_ns = zt->epoch_ns;
		zt->clock_frame = zt->origin;
	} else {
		zt->clock_ns = now - ns_for(zt->taken, zt->rate);
		zt->clock_frame = 0;
	}
	snd_pcm_ioplug_set_state(io, SND_PCM_STATE_RUNNING);
	if (zt->realtime)
		rearm(zt);
	else
		wake_now(zt);
	return 0;
}

/* Capture has nothing to play out: stop at once instead of letting ioplug
 * wait for a full buffer. */
static int zt_drain(snd_pcm_ioplug_t *io)
{
	zt_stop(io);
	snd_pcm_ioplug_set_state(io, SND_PCM_STATE_SETUP);
	return 0;
}

static int zt_hw_params(snd_pcm_ioplug_t *io, snd_pcm_hw_params_t *params)
{
	struct zelmtest *zt = io->private_data;
	size_t i;
	(void)params;
	if (zt->fail_hw_params)
		return -EINVAL;
	zt->rate = io->rate;
	for (i = 0; i < FORMAT_COUNT; i++)
		if (format_table[i].format == io->format) {
			zt->sample_bytes = format_table[i].bytes;
			zt->value_bits = format_table[i].bits;
			zt->value_shift = format_table[i].shift;
		}
	zt->period = io->period_size;
	zt->buffer = io->buffer_size;
	zt->origin = 0;
	zt->delivered = 0;
	zt->taken = 0;
	zt->filled = 0;
	zt->hw = 0;
	zt->overrun_pending = 0;
	zt->running = 0;
	zt->suspended = 0;
	zt->suspend_done = 0;
	/* A device opened again keeps its clock (state_file). */
	zt->epoch_ns = zt->saved_epoch_ns;
	zt->epoch_set = zt->saved_epoch_ns != 0;
	if (!zt->realtime)
		wake_now(zt);
	return 0;
}

static int zt_poll_revents(snd_pcm_ioplug_t *io, struct pollfd *pfd,
			   unsigned int nfds, unsigned short *revents)
{
	struct zelmtest *zt = io->private_data;
	struct outlook o;
	(void)pfd;
	(void)nfds;

	/* libasound looks at the state before it asks the device for frames,
	 * so a suspend found only by a read would show first as -EAGAIN. */
	if (zt->running && zt->suspend_after >= 0 && !zt->suspend_done) {
		note_taken(zt);
		if (advance(zt, &o) == EVENT_SUSPEND) {
			suspend(zt);
			*revents = POLLIN | POLLERR;
			return 0;
		}
	}
	if (zt->suspended) {
		/* The read that found the suspend was let in for it; the next
		 * wake-up is its end. */
		uint64_t expirations;
		if (read(zt->timer_fd, &expirations, sizeof(expirations)) < 0) {
			/* nothing expired since the last look */
		}
		*revents = 0;
		if (now_ns() >= zt->suspend_end_ns) {
			wake_now(zt);
			*revents = POLLIN | POLLERR;
		} else {
			arm_timer(zt, zt->suspend_end_ns, 0);
		}
		return 0;
	}
	if (io->state == SND_PCM_STATE_XRUN || io->state == SND_PCM_STATE_DISCONNECTED) {
		*revents = POLLIN | POLLERR;
		return 0;
	}
	if (!zt->realtime) {
		uint64_t next;
		*revents = POLLIN;
		if (zt->running && zt->freeze_after >= 0) {
			note_taken(zt);
			if (!ready(zt, &next)) {
				disarm_timer(zt);
				*revents = 0;
			}
		}
		return 0;
	}

	{
		uint64_t expirations;
		if (read(zt->timer_fd, &expirations, sizeof(expirations)) < 0) {
			/* nothing expired since the last look */
		}
	}
	*revents = 0;
	if (!zt->running)
		return 0;
	note_taken(zt);
	/* A due event lets the reader in too: its pointer call reports it. A
	 * reader off the period grid has less than a period left before an
	 * event (libasound's read takes whatever exists right after it starts
	 * the stream, often a few frames under load), so those frames let it
	 * in as well, or it would wait for ever. */
	if (rearm(zt))
		*revents = POLLIN;
	return 0;
}

static int zt_close(snd_pcm_ioplug_t *io)
{
	struct zelmtest *zt = io->private_data;
	if (zt->timer_fd >= 0)
		close(zt->timer_fd);
	free(zt);
	return 0;
}

static const snd_pcm_ioplug_callback_t zt_callbacks = {
	.start = zt_start,
	.stop = zt_stop,
	.pointer = zt_pointer,
	.transfer = zt_transfer,
	.close = zt_close,
	.hw_params = zt_hw_params,
	.prepare = zt_prepare,
	.resume = zt_resume,
	.drain = zt_drain,
	.poll_revents = zt_poll_revents,
};

static int parse_overruns(struct zelmtest *zt, snd_config_t *n)
{
	const char *s;
	long v;
	if (snd_config_get_integer(n, &v) == 0) {
		if (v < 0)
			return -EINVAL;
		zt->overrun[0] = (uint64_t)v;
		zt->overrun_count = 1;
		return 0;
	}
	if (snd_config_get_string(n, &s) < 0)
		return -EINVAL;
	zt->overrun_count = 0;
	while (*s) {
		char *end;
		unsigned long long k;
		while (*s == ' ' || *s == ',')
			s++;
		if (!*s)
			break;
		if (*s < '0' || *s > '9' || zt->overrun_count == MAX_OVERRUNS)
			return -EINVAL;
		errno = 0;
		k = strtoull(s, &end, 10);
		if (errno)
			return -EINVAL;
		zt->overrun[zt->overrun_count++] = k;
		s = end;
		if (*s && *s != ',' && *s != ' ')
			return -EINVAL;
	}
	return 0;
}

static int get_number(snd_config_t *n, const char *id, double *out)
{
	if (snd_config_get_ireal(n, out) < 0) {
		SNDERR("zelmtest: %s must be a number", id);
		return -EINVAL;
	}
	return 0;
}

static int get_unsigned(snd_config_t *n, const char *id, unsigned int *out)
{
	long v;
	if (snd_config_get_integer(n, &v) < 0 || v <= 0 || v > 0x7fffffffL) {
		SNDERR("zelmtest: %s must be a positive integer", id);
		return -EINVAL;
	}
	*out = (unsigned int)v;
	return 0;
}

static int get_flag(snd_config_t *n, const char *id, int *out)
{
	int v = snd_config_get_bool(n);
	if (v < 0) {
		SNDERR("zelmtest: %s must be a boolean", id);
		return -EINVAL;
	}
	*out = v;
	return 0;
}

/* A list like "S16_LE,S24_3LE" (commas or spaces between names). */
static int parse_formats(struct zelmtest *zt, const char *s)
{
	zt->formats = 0;
	while (*s) {
		size_t len, i;
		while (*s == ' ' || *s == ',')
			s++;
		if (!*s)
			break;
		len = strcspn(s, " ,");
		for (i = 0; i < FORMAT_COUNT; i++)
			if (strlen(format_table[i].name) == len &&
			    !strncmp(s, format_table[i].name, len))
				break;
		if (i == FORMAT_COUNT)
			return -EINVAL;
		zt->formats |= format_table[i].flag;
		s += len;
	}
	return zt->formats ? 0 : -EINVAL;
}

static int parse_config(struct zelmtest *zt, snd_config_t *conf)
{
	snd_config_iterator_t i, next;
	snd_config_for_each(i, next, conf) {
		snd_config_t *n = snd_config_iterator_entry(i);
		const char *id, *s;
		int err = 0;
		if (snd_config_get_id(n, &id) < 0)
			continue;
		if (!strcmp(id, "comment") || !strcmp(id, "type") || !strcmp(id, "hint"))
			continue;
		if (!strcmp(id, "formats")) {
			if (snd_config_get_string(n, &s) < 0 || parse_formats(zt, s) < 0) {
				SNDERR("zelmtest: formats must list S16_LE, S24_3LE, S32_LE or S24_LE");
				return -EINVAL;
			}
		} else if (!strcmp(id, "channels")) {
			err = get_unsigned(n, id, &zt->channels);
			if (!err && zt->channels > MAX_CHANNELS) {
				SNDERR("zelmtest: channels must be 1 to %d", MAX_CHANNELS);
				err = -EINVAL;
			}
		} else if (!strcmp(id, "rate")) {
			err = get_unsigned(n, id, &zt->fixed_rate);
		} else if (!strcmp(id, "access")) {
			if (snd_config_get_string(n, &s) < 0)
				return -EINVAL;
			zt->interleaved_only = !strcmp(s, "interleaved");
			zt->noninterleaved_only = !strcmp(s, "noninterleaved");
			if (!zt->interleaved_only && !zt->noninterleaved_only && strcmp(s, "both")) {
				SNDERR("zelmtest: access must be \"interleaved\", \"noninterleaved\" or \"both\"");
				return -EINVAL;
			}
		} else if (!strcmp(id, "period_frames")) {
			err = get_unsigned(n, id, &zt->period_frames);
		} else if (!strcmp(id, "fail_hw_params")) {
			err = get_flag(n, id, &zt->fail_hw_params);
		} else if (!strcmp(id, "realtime")) {
			err = get_flag(n, id, &zt->realtime);
		} else if (!strcmp(id, "hardware")) {
			err = get_flag(n, id, &zt->hardware);
		} else if (!strcmp(id, "signal")) {
			if (snd_config_get_string(n, &s) < 0)
				return -EINVAL;
			if (!strcmp(s, "ramp"))
				zt->signal = SIGNAL_RAMP;
			else if (!strcmp(s, "sine"))
				zt->signal = SIGNAL_SINE;
			else if (!strcmp(s, "demo"))
				zt->signal = SIGNAL_DEMO;
			else if (!strcmp(s, "silence"))
				zt->signal = SIGNAL_SILENCE;
			else {
				SNDERR("zelmtest: unknown signal %s", s);
				return -EINVAL;
			}
		} else if (!strcmp(id, "freq")) {
			err = get_number(n, id, &zt->freq);
		} else if (!strcmp(id, "level1")) {
			err = get_number(n, id, &zt->level[0]);
		} else if (!strcmp(id, "level2")) {
			err = get_number(n, id, &zt->level[1]);
		} else if (!strcmp(id, "cycle")) {
			err = get_number(n, id, &zt->cycle);
			if (!err && !(zt->cycle > 0))
				err = -EINVAL;
		} else if (!strcmp(id, "overrun_periods")) {
			err = parse_overruns(zt, n);
			if (err)
				SNDERR("zelmtest: overrun_periods must be like \"3,7\"");
		} else if (!strcmp(id, "lost_after")) {
			long v;
			if (snd_config_get_integer(n, &v) < 0 || v < 0) {
				SNDERR("zelmtest: lost_after must be a count of periods");
				return -EINVAL;
			}
			zt->lost_after = v;
		} else if (!strcmp(id, "lost_for_ms")) {
			long v;
			if (snd_config_get_integer(n, &v) < 0 || v < 0) {
				SNDERR("zelmtest: lost_for_ms must be a count of milliseconds");
				return -EINVAL;
			}
			zt->lost_for_ms = v;
		} else if (!strcmp(id, "state_file")) {
			if (snd_config_get_string(n, &s) < 0 || s[0] != '/' ||
			    strlen(s) >= sizeof(zt->state_path) - 8) {
				SNDERR("zelmtest: state_file must be an absolute path");
				return -EINVAL;
			}
			strcpy(zt->state_path, s);
		} else if (!strcmp(id, "suspend_after")) {
			long v;
			if (snd_config_get_integer(n, &v) < 0 || v < 0) {
				SNDERR("zelmtest: suspend_after must be a count of periods");
				return -EINVAL;
			}
			zt->suspend_after = v;
		} else if (!strcmp(id, "suspend_ms")) {
			long v;
			if (snd_config_get_integer(n, &v) < 0 || v < 0) {
				SNDERR("zelmtest: suspend_ms must be a count of milliseconds");
				return -EINVAL;
			}
			zt->suspend_ms = v;
		} else if (!strcmp(id, "freeze_after")) {
			long v;
			if (snd_config_get_integer(n, &v) < 0 || v < 0) {
				SNDERR("zelmtest: freeze_after must be a count of periods");
				return -EINVAL;
			}
			zt->freeze_after = v;
		} else {
			SNDERR("zelmtest: unknown option %s", id);
			return -EINVAL;
		}
		if (err)
			return err;
	}
	if (zt->hardware)
		zt->realtime = 1;
	if (zt->lost_for_ms >= 0 && !zt->state_path[0]) {
		SNDERR("zelmtest: lost_for_ms needs a state_file");
		return -EINVAL;
	}
	if (zt->period_frames && (zt->formats & (zt->formats - 1))) {
		SNDERR("zelmtest: period_frames needs a single format");
		return -EINVAL;
	}
	return 0;
}

static int set_constraints(struct zelmtest *zt)
{
	snd_pcm_ioplug_t *io = &zt->io;
	unsigned int access[4], formats[FORMAT_COUNT];
	unsigned int n_access = 0, n_formats = 0;
	unsigned int frame_min = 0, frame_max = 0; /* bytes */
	size_t i;
	int err;

	if (!zt->noninterleaved_only)
		access[n_access++] = SND_PCM_ACCESS_RW_INTERLEAVED;
	if (zt->noninterleaved_only) {
		access[n_access++] = SND_PCM_ACCESS_RW_NONINTERLEAVED;
		access[n_access++] = SND_PCM_ACCESS_MMAP_NONINTERLEAVED;
	} else if (!zt->interleaved_only) {
		access[n_access++] = SND_PCM_ACCESS_RW_NONINTERLEAVED;
		/* Without mmap, plug would put its mmap emulation in front of
		 * every conversion, and that reads whatever is available:
		 * without realtime, always a whole buffer ahead of the reader. */
		access[n_access++] = SND_PCM_ACCESS_MMAP_INTERLEAVED;
		access[n_access++] = SND_PCM_ACCESS_MMAP_NONINTERLEAVED;
	}
	for (i = 0; i < FORMAT_COUNT; i++) {
		unsigned int bytes = zt->channels * format_table[i].bytes;
		if (!(zt->formats & format_table[i].flag))
			continue;
		formats[n_formats++] = format_table[i].format;
		if (!frame_min || bytes < frame_min)
			frame_min = bytes;
		if (bytes > frame_max)
			frame_max = bytes;
	}

	err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, n_access, access);
	if (err < 0)
		return err;
	err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, n_formats, formats);
	if (err < 0)
		return err;
	err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS,
					      zt->channels, zt->channels);
	if (err < 0)
		return err;
	if (zt->fixed_rate)
		err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE,
						      zt->fixed_rate, zt->fixed_rate);
	else
		err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 44100, 96000);
	if (err < 0)
		return err;
	if (zt->period_frames)
		err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES,
						      zt->period_frames * frame_min,
						      zt->period_frames * frame_max);
	else
		err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES,
						      32 * frame_min, 65536 * frame_max);
	if (err < 0)
		return err;
	err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
	if (err < 0)
		return err;
	return snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES,
					       64 * frame_min, 262144 * frame_max);
}

SND_PCM_PLUGIN_DEFINE_FUNC(zelmtest)
{
	struct zelmtest *zt;
	int err;
	(void)root;

	if (stream != SND_PCM_STREAM_CAPTURE) {
		SNDERR("zelmtest: capture only");
		return -EINVAL;
	}
	zt = calloc(1, sizeof(*zt));
	if (!zt)
		return -ENOMEM;
	zt->channels = 2;
	zt->formats = FORMAT_S16 | FORMAT_S24_3;
	zt->signal = SIGNAL_RAMP;
	zt->freq = 1000;
	zt->level[0] = -6;
	zt->level[1] = -12;
	zt->cycle = 8;
	zt->lost_after = -1;
	zt->freeze_after = -1;
	zt->lost_for_ms = -1;
	zt->suspend_after = -1;
	zt->suspend_ms = 1000;
	zt->timer_fd = -1;

	err = parse_config(zt, conf);
	if (!err)
		err = come_back(zt);
	if (err < 0) {
		free(zt);
		return err;
	}
	zt->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
	if (zt->timer_fd < 0) {
		err = -errno;
		free(zt);
		return err;
	}
	if (!zt->realtime)
		wake_now(zt);

	zt->io.version = SND_PCM_IOPLUG_VERSION;
	zt->io.name = "zelm test capture device";
	zt->io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC;
	zt->io.mmap_rw = 0;
	zt->io.poll_fd = zt->timer_fd;
	zt->io.poll_events = POLLIN;
	zt->io.callback = &zt_callbacks;
	zt->io.private_data = zt;

	err = snd_pcm_ioplug_create(&zt->io, name, stream, mode);
	if (err < 0) {
		close(zt->timer_fd);
		free(zt);
		return err;
	}
	err = set_constraints(zt);
	if (err < 0) {
		snd_pcm_ioplug_delete(&zt->io);
		return err;
	}
	*pcmp = zt->io.pcm;
	return 0;
}

SND_PCM_PLUGIN_SYMBOL(zelmtest)
