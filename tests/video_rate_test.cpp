// The live video's bitrate: one link's estimate fed reports as a browser sends them, on a model of a
// capped link; the encoder shared by several viewers; and the ladder of frame rate and size.
#include "web/video_rate.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

webrtc_feedback_type report(double now, double lost, double round_trip, double sent = 0, double remb = 0)
{
    webrtc_feedback_type feedback;
    feedback.now = now;
    feedback.report = true;
    feedback.fraction_lost = lost;
    feedback.round_trip = round_trip;
    feedback.sent_kbps = sent;
    feedback.remb_kbps = remb;
    return feedback;
}

// A link that carries capacity kbit/s behind a queue of at most 200 ms: what is sent above the capacity
// first fills the queue (the round trip grows), then is lost.
struct capped_link_type {
    double capacity = 700;
    double queued_s = 0;

    webrtc_feedback_type carry(double now, double kbps, double elapsed)
    {
        double over = (kbps - capacity) * elapsed;  // kbit beyond what drained
        queued_s = std::clamp(queued_s + over / capacity, 0.0, 0.2);
        double lost = kbps > capacity && queued_s >= 0.2 ? (kbps - capacity) / kbps : 0;
        return report(now, lost, 0.01 + queued_s, std::min(kbps, capacity));
    }
};

} // namespace

TEST(VideoRate, ALinkBacksOffFastAndClimbsSlowly)
{
    video_limits_type limits;  // 150 to 2000
    limits.start_kbps = 600;
    struct {
        const char* what;
        double lost, round_trip, remb;
        double least, most;  // the estimate after 4 s of such reports, twice a second
    } cases[] = {
        {"a clear link climbs 25 % a second until it first shows its limit", 0, 0.010, 0, 1400, 1500},
        {"2 % loss still climbs", 0.02, 0.010, 0, 1400, 1500},
        {"7 % loss holds", 0.07, 0.010, 0, 599, 601},
        {"30 % loss backs off at every report", 0.30, 0.010, 0, 150, 170},
        {"a browser's estimate that only lags behind what is sent does not hold it down", 0, 0.010, 200, 1400, 1500},
        {"never below the floor", 0.9, 0.010, 0, 150, 150},
    };
    for (const auto& c : cases) {
        video_link_type link = video_link_start(0, limits, 0);
        for (int i = 1; i <= 8; i++)
            video_link_feedback(link, report(i * 0.5, c.lost, c.round_trip, 1000, c.remb), limits);
        EXPECT_GE(link.estimate_kbps, c.least) << c.what;
        EXPECT_LE(link.estimate_kbps, c.most) << c.what;
    }

    // The browser's estimate counts when it falls, and well below what is sent: its sign of a queue.
    video_link_type lagging = video_link_start(1000, limits, 0);
    video_link_feedback(lagging, report(0.5, 0, 0.010, 1000, 500), limits);
    video_link_feedback(lagging, report(1.0, 0, 0.010, 1000, 300), limits);
    EXPECT_DOUBLE_EQ(lagging.estimate_kbps, 300);

    // A round trip growing by more than 50 ms over the least heard is a queue: back to 85 % of what went
    // through, and no climbing for a second after.
    video_link_type link = video_link_start(1000, limits, 0);
    video_link_feedback(link, report(0.5, 0, 0.020), limits);
    video_link_feedback(link, report(1.0, 0, 0.090, 700), limits);
    EXPECT_NEAR(link.estimate_kbps, 0.85 * 700, 1);
    double cut = link.estimate_kbps;
    webrtc_feedback_type quiet = report(1.5, 0, 0.020);
    quiet.report = false;  // no new report: nothing to judge
    video_link_feedback(link, quiet, limits);
    EXPECT_DOUBLE_EQ(link.estimate_kbps, cut);
    video_link_feedback(link, report(2.5, 0, 0.020), limits);
    EXPECT_NEAR(link.estimate_kbps, cut * 1.08, 1) << "after the first sign of a limit, 8 % a second";
    // Never above the configured most.
    video_link_type fast = video_link_start(1990, limits, 0);
    video_link_feedback(fast, report(2, 0, 0.01), limits);
    EXPECT_DOUBLE_EQ(fast.estimate_kbps, 2000);
    // An encoder sending little (a still picture) neither climbs far past what it sends, nor is pulled
    // down by a browser's estimate that only follows it.
    video_link_type still = video_link_start(400, limits, 0);
    for (int i = 1; i <= 20; i++)
        video_link_feedback(still, report(i * 0.5, 0, 0.01, 45, 70), limits);
    EXPECT_DOUBLE_EQ(still.estimate_kbps, 600);
}

TEST(VideoRate, AQueueDrainingAfterABackOffIsNotCutForAgain)
{
    video_limits_type limits;
    video_link_type link = video_link_start(1000, limits, 0);
    video_link_feedback(link, report(0.5, 0, 0.010, 1000), limits);
    struct {
        double now, round_trip, lost;
        double estimate;  // after the report
        const char* what;
    } steps[] = {
        {1.0, 0.200, 0, 850, "a queue: 85 % of what went through"},
        {1.5, 0.300, 0, 850, "the queue grows on while the cut reaches it: no second cut within a second"},
        {2.5, 0.260, 0, 850, "it has begun to drain"},
        {3.0, 0.230, 0.3, 850, "what overflowed meanwhile is of the same queue, which drains"},
        {4.0, 0.225, 0, 722.5, "it drains no more and is not empty: cut again"},
        {4.5, 0.020, 0, 722.5, "drained: no cut; held for a second after the last"},
        {5.5, 0.020, 0, 722.5 * 1.08, "and clear: 8 % a second, as the link has shown its limit"},
    };
    for (const auto& step : steps) {
        video_link_feedback(link, report(step.now, step.lost, step.round_trip, 1000), limits);
        EXPECT_NEAR(link.estimate_kbps, step.estimate, 0.5) << step.what;
    }
    // Once well past where the link showed its limit, the link has changed: 25 % a second again.
    video_link_type past = link;
    past.estimate_kbps = 1.25 * past.limit_kbps;
    video_link_feedback(past, report(6.5, 0, 0.020, 2000), limits);
    EXPECT_NEAR(past.estimate_kbps, 1.25 * past.limit_kbps * 1.25, 0.5);
}

TEST(VideoRate, OnACappedLinkItSettlesBelowTheCapAndClimbsBackWhenTheCapIsLifted)
{
    video_limits_type limits;
    capped_link_type wire;
    video_link_type link = video_link_start(0, limits, 0);
    double now = 0, least = 1e9, most = 0;
    int lossy = 0;
    for (; now < 60; now += 0.5) {
        webrtc_feedback_type feedback = wire.carry(now, link.estimate_kbps, 0.5);
        video_link_feedback(link, feedback, limits);
        if (now >= 20) {
            least = std::min(least, link.estimate_kbps);
            most = std::max(most, link.estimate_kbps);
            lossy += feedback.fraction_lost > 0 ? 1 : 0;
        }
    }
    // After its first seconds, it stays where the link carries a picture, probing a little above, and
    // backs off while the queue fills, before anything is lost.
    EXPECT_GE(least, 0.5 * wire.capacity);
    EXPECT_LE(most, 1.15 * wire.capacity);
    EXPECT_EQ(lossy, 0);
    wire.capacity = 100000;
    double lifted = now;
    while (link.estimate_kbps < 1200 && now < lifted + 30) {
        now += 0.5;
        video_link_feedback(link, wire.carry(now, link.estimate_kbps, 0.5), limits);
    }
    EXPECT_LE(now - lifted, 8.0) << link.estimate_kbps;
}

TEST(VideoRate, TheSharedEncoderFollowsTheSlowestViewerWithinTheFloor)
{
    video_limits_type limits;
    EXPECT_DOUBLE_EQ(video_shared_kbps({}, limits), 300);
    EXPECT_DOUBLE_EQ(video_shared_kbps({1800, 450, 900}, limits), 450);
    EXPECT_DOUBLE_EQ(video_shared_kbps({1800, 40}, limits), 150);
    // A viewer that joins starts at what the encoder sends already.
    EXPECT_DOUBLE_EQ(video_link_start(450, limits, 3).estimate_kbps, 450);
    // A configured most below the floor wins.
    limits.ceiling_kbps = 100;
    EXPECT_DOUBLE_EQ(video_shared_kbps({1800}, limits), 100);
}

webrtc_feedback_type capture(double now, int width, int height, int fps)
{
    webrtc_feedback_type feedback;
    feedback.now = now;
    feedback.width = width;
    feedback.height = height;
    feedback.fps = fps;
    return feedback;
}

TEST(VideoRate, TheLadderHalvesTheSizeThenTheRateAndClimbsBackAfterAWait)
{
    // 640 x 480 at 30 needs 369 kbit/s by the rule of thumb; 320 x 240 at 30, 92; at 15, 46.
    struct {
        double now, kbps;
        int divisor, fps;
    } steps[] = {
        {0, 600, 1, 0},     // the capture's own picture
        {1, 360, 2, 0},     // below the full picture's need: half the size at once, at the full rate
        {2, 80, 2, 15},     // below that too: half the rate
        {3, 600, 2, 15},    // enough again, but a step waits 3 s before climbing back
        {4.5, 600, 2, 15},
        {6, 600, 2, 0},     // one step at a time
        {8, 600, 2, 0},
        {9, 540, 2, 0},     // 540 is not 50 % over 369: it stays
        {12, 560, 1, 0},
    };
    video_ladder_type ladder;
    for (const auto& s : steps) {
        webrtc_encoding_type encoding = video_ladder_encoding(ladder, s.kbps, capture(s.now, 640, 480, 30));
        EXPECT_EQ(encoding.divisor, s.divisor) << "at " << s.now;
        EXPECT_EQ(encoding.fps, s.fps) << "at " << s.now;
        EXPECT_EQ(encoding.kbps, static_cast<int>(s.kbps));
    }
    // A source of unknown size, or a slow one, is never cut below 10 frames a second.
    EXPECT_EQ(video_ladder_encoding(ladder, 100, capture(20, 0, 0, 0)).divisor, 1);
    video_ladder_type slow;
    EXPECT_EQ(video_ladder_encoding(slow, 20, capture(0, 640, 480, 12)).fps, 10);
}

TEST(VideoRate, AnEncoderThatFallsShortOfItsStepTeachesTheLadderWhatTheStepNeeds)
{
    struct {
        const char* what;
        double encoded_fps, encoded_kbps;
        double learnt;  // what the full picture is then known to need; 0: nothing learnt
    } cases[] = {
        {"it drops frames to keep its bitrate", 18, 600, 1000},
        {"it sends well over its bitrate", 30, 900, 900},
        {"it keeps up", 30, 640, 0},
        {"it drops a few", 25, 600, 0},
    };
    for (const auto& c : cases) {
        video_ladder_type ladder;
        double now = 0;
        int divisor = 1;
        for (; now <= 3 && divisor == 1; now += 0.5) {
            webrtc_feedback_type feedback = capture(now, 640, 480, 30);
            feedback.offered_fps = 30;
            feedback.encoded_fps = c.encoded_fps;
            feedback.encoded_kbps = c.encoded_kbps;
            divisor = video_ladder_encoding(ladder, 600, feedback).divisor;
        }
        if (c.learnt == 0) {
            EXPECT_EQ(divisor, 1) << c.what;
            continue;
        }
        EXPECT_EQ(divisor, 2) << c.what << ": after 2 s short, half the size";
        EXPECT_LE(now, 3.0) << c.what;
        // Back to the full picture only with half again what it was seen to need, until the picture may
        // have changed.
        EXPECT_EQ(video_ladder_encoding(ladder, 1.4 * c.learnt, capture(now + 10, 640, 480, 30)).divisor, 2) << c.what;
        EXPECT_EQ(video_ladder_encoding(ladder, 1.6 * c.learnt, capture(now + 20, 640, 480, 30)).divisor, 1) << c.what;
        video_ladder_type forgetting = ladder;
        forgetting.step = 1;
        EXPECT_EQ(video_ladder_encoding(forgetting, 600, capture(now + 130, 640, 480, 30)).divisor, 1) << c.what;
    }
}
