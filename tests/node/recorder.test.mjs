// The flight recorder judged by @mcap/core's readers: a run of the real program recorded for 30 s, a
// power cut in the middle of the next file, and a run that rotates quickly under a small size limit.
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import assert from "node:assert/strict";
import fs from "node:fs";
import net from "node:net";
import { test } from "node:test";
import { QuillonRig, waitFor } from "./recorder_rig.mjs";

const capture = "camera_pipeline videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,framerate=30/1";

function readable(bytes) {
    return {
        size: async () => BigInt(bytes.length),
        read: async (offset, size) => bytes.subarray(Number(offset), Number(offset + size)),
    };
}

function recordings(rig) {
    const folder = rig.file("rec");
    return fs.existsSync(folder) ? fs.readdirSync(folder).filter((n) => n.endsWith(".mcap")).sort() : [];
}

async function readIndexed(bytes) {
    const reader = await McapIndexedReader.Initialize({ readable: readable(bytes) });
    const byTopic = {};
    for await (const message of reader.readMessages({ validateCrcs: true })) {
        const topic = reader.channelsById.get(message.channelId).topic;
        (byTopic[topic] ??= []).push(JSON.parse(new TextDecoder().decode(message.data)));
    }
    return { reader, byTopic };
}

// Every record the stream reader can take from the bytes, without failing on a cut-off end.
function streamRecords(bytes) {
    const reader = new McapStreamReader({ includeChunks: true, validateCrcs: true });
    reader.append(bytes);
    const records = [];
    for (let record; (record = reader.nextRecord()) !== undefined;)
        records.push(record);
    return records;
}

async function freePort() {
    const server = net.createServer();
    await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
    const { port } = server.address();
    await new Promise((resolve) => server.close(resolve));
    return port;
}

// Where each whole chunk record of the bytes ends, walking the records as the format lays them out.
function chunkEnds(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.length);
    const ends = [];
    for (let at = 8; at + 9 <= bytes.length;) {
        const end = at + 9 + Number(view.getBigUint64(at + 1, true));
        if (end > bytes.length)
            break;
        if (bytes[at] === 0x06)
            ends.push(end);
        at = end;
    }
    return ends;
}

test("a 30 s recording reads whole, and a power cut loses only the open chunk", { timeout: 120000 }, async () => {
    const rig = new QuillonRig();
    try {
        await rig.start(["record_folder rec", "record_minutes 0.5", capture]);
        // The second file has begun and holds a few chunks: then the power goes.
        await waitFor(() => recordings(rig).length >= 2 &&
                            chunkEnds(fs.readFileSync(rig.file("rec/" + recordings(rig)[1]))).length >= 3,
                      60000, "three chunks of the second file on the disk");
        const cutAt = BigInt(Date.now()) * 1000000n;
        await rig.stop("SIGKILL");
        const [first, second] = recordings(rig).map((n) => fs.readFileSync(rig.file("rec/" + n)));

        const { reader, byTopic } = await readIndexed(first);
        const topics = [...reader.channelsById.values()].map((c) => c.topic).sort();
        assert.deepEqual(topics, ["/quillon/bus", "/quillon/camera", "/quillon/log", "/quillon/telemetry"]);
        const schemas = [...reader.schemasById.values()].map((s) => s.name).sort();
        assert.ok(schemas.includes("foxglove.CompressedImage") && schemas.includes("foxglove.Log"), schemas.join());
        for (const schema of reader.schemasById.values()) {
            assert.equal(schema.encoding, "jsonschema");
            assert.equal(JSON.parse(new TextDecoder().decode(schema.data)).type, "object");
        }
        const telemetry = byTopic["/quillon/telemetry"].length;
        assert.ok(telemetry >= 270 && telemetry <= 310, `telemetry ${telemetry} in 30 s`);  // a late turn is not made up
        assert.equal(byTopic["/quillon/telemetry"][0].analog.length, 8);
        // The capture at record_fps; the simulator's serial camera adds its own pictures as they come.
        const pictures = byTopic["/quillon/camera"].filter((p) => p.frame_id === "capture");
        assert.ok(pictures.length >= 130 && pictures.length <= 155, `${pictures.length} pictures at 5 a second`);
        const jpeg = Buffer.from(pictures[0].data, "base64");
        assert.equal(jpeg.readUInt16BE(0), 0xffd8, "a JPEG");
        const sent = byTopic["/quillon/bus"].filter((p) => p.direction === "sent").length;
        assert.ok(sent >= 200, `${sent} commands to the board`);  // ten a second, fewer on a busy machine
        // In the file itself, not only as the indexed reader sorts them, times never go back.
        const times = streamRecords(first).filter((r) => r.type === "Message").map((m) => m.logTime);
        assert.ok(times.every((time, i) => i === 0 || time >= times[i - 1]), "messages are written in time order");
        assert.equal(times.length, Number(reader.statistics.messageCount));
        assert.equal(Number(reader.statistics.messageCount),
                     Object.values(byTopic).reduce((sum, list) => sum + list.length, 0));

        // The log lines recorded are log.txt's lines, all of them from the first recorded to the last. Two
        // threads logging at once may reach the file and the recorder in either order, and the camera's
        // lines repeat: look for a window of log.txt that holds the same lines. The camera's packet dumps
        // stay out: the bus channel has those bytes.
        const logged = rig.log().split("\n").map((line) => line.replace(/^\[[0-9.]+\] /, ""))
            .filter((line) => !line.startsWith("Cam data: ("));
        const recorded = byTopic["/quillon/log"].map((entry) => entry.message);
        const wanted = [...recorded].sort().join("\n");
        const found = logged.some((line, start) => line === recorded[0] &&
                                   logged.slice(start, start + recorded.length).sort().join("\n") === wanted);
        assert.ok(recorded.length > 100 && found, `${recorded.length} log lines as log.txt has them`);

        // The cut file: no summary, yet every chunk that reached the disk reads; so does a copy cut anywhere.
        const chunks = streamRecords(second).filter((r) => r.type === "Chunk");
        assert.ok(chunks.length >= 3, `${chunks.length} chunks before the cut`);
        // No chunk holds more than a second of messages, so a cut loses no more than that.
        for (const chunk of [...streamRecords(first).filter((r) => r.type === "Chunk"), ...chunks]) {
            const span = Number(chunk.messageEndTime - chunk.messageStartTime) / 1e9;
            assert.ok(span <= 1.0, `a chunk spans ${span} s`);
        }
        const lost = Number(cutAt - chunks.at(-1).messageEndTime) / 1e9;
        assert.ok(lost < 2.5, `the last chunk on the disk ends ${lost} s before the cut`);
        await assert.rejects(McapIndexedReader.Initialize({ readable: readable(second) }));
        // Anywhere past the first whole chunk: a chunk may be most of a short file.
        const firstEnd = chunkEnds(second)[0];
        const cut = Math.floor(firstEnd + Math.random() * (second.length - firstEnd));
        const records = streamRecords(second.subarray(0, cut));
        const kept = records.filter((r) => r.type === "Chunk").length;
        const messages = records.filter((r) => r.type === "Message").length;
        assert.equal(kept, chunkEnds(second).filter((end) => end <= cut).length, `chunks before byte ${cut}`);
        assert.ok(messages > 0);
    } finally {
        await rig.stop("SIGKILL");
        rig.remove();
    }
});

test("files rotate and the oldest go once the folder passes its limit", { timeout: 60000 }, async () => {
    const rig = new QuillonRig();
    try {
        const port = await freePort();
        await rig.start(["record_folder rec", "record_minutes 0.04", "record_limit_mb 0.4", capture,
                         `web_port ${port}`, "web_address 127.0.0.1"]);
        await waitFor(() => (rig.log().match(/Recorder - Deleted/g) ?? []).length >= 3, 40000, "three deletions");

        // The console lists the files behind its token and hands out a finished one byte for byte.
        const token = fs.readFileSync(rig.file("web_token.txt"), "utf8").trim();
        const base = `http://127.0.0.1:${port}/recordings`;
        assert.equal((await fetch(base)).status, 401);
        assert.equal((await fetch(`${base}?token=wrong-token`)).status, 401);
        const listed = await (await fetch(`${base}?token=${token}`)).json();
        assert.ok(listed.length >= 2 && listed.at(-1).open && !listed[0].open, JSON.stringify(listed));
        const download = await fetch(`${base}/${listed[0].name}?token=${token}`);
        assert.equal(download.status, 200);
        const bytes = Buffer.from(await download.arrayBuffer());
        if (fs.existsSync(rig.file("rec/" + listed[0].name)))  // unless the limit took it meanwhile
            assert.ok(bytes.equals(fs.readFileSync(rig.file("rec/" + listed[0].name))));
        assert.equal((await fetch(`${base}/..%2Fconfig.txt?token=${token}`)).status, 404);
        // A symbolic link with a recording's name is neither listed nor served.
        const link = "quillon-20000101-000000-000.mcap";
        fs.symlinkSync(rig.file("config.txt"), rig.file("rec/" + link));
        const again = await (await fetch(`${base}?token=${token}`)).json();
        assert.ok(!again.some((r) => r.name === link), JSON.stringify(again));
        assert.equal((await fetch(`${base}/${link}?token=${token}`)).status, 404);
        fs.unlinkSync(rig.file("rec/" + link));
        await rig.stop("SIGTERM");
        const names = recordings(rig);
        const sizes = names.map((n) => fs.statSync(rig.file("rec/" + n)).size);
        const total = sizes.reduce((a, b) => a + b, 0);
        assert.ok(total <= 0.4 * 1048576 + Math.max(...sizes), `${total} bytes kept in ${names.length} files`);
        const begun = rig.log().match(/Recorder - Deleted (quillon-[0-9-]+\.mcap)/g).length + names.length;
        assert.ok(begun >= 5, `${begun} files`);
        // Every file left reads whole, and none spans much more than its 2.4 s.
        for (const name of names) {
            const { reader } = await readIndexed(fs.readFileSync(rig.file("rec/" + name)));
            const span = Number(reader.statistics.messageEndTime - reader.statistics.messageStartTime) / 1e9;
            assert.ok(span < 3.5, `${name} spans ${span} s`);
        }
    } finally {
        await rig.stop("SIGKILL");
        rig.remove();
    }
});

test("a file that alone would pass the limit is finished early, and the folder stays within it", { timeout: 60000 }, async () => {
    const rig = new QuillonRig();
    const limit = 0.3 * 1048576;
    try {
        await rig.start(["record_folder rec", "record_minutes 10", "record_limit_mb 0.3", "record_fps 10", capture]);
        let largest = 0;
        const folderSize = () => recordings(rig).reduce((sum, name) => {
            try { return sum + fs.statSync(rig.file("rec/" + name)).size; } catch { return sum; }
        }, 0);
        await waitFor(() => {
            largest = Math.max(largest, folderSize());
            return (rig.log().match(/Recorder - Deleted/g) ?? []).length >= 2;
        }, 45000, "two files deleted though none was ten minutes old");
        assert.ok((rig.log().match(/nears the 0.3 MB limit alone: a new file begins/g) ?? []).length >= 2, rig.log());
        // Within the limit and the one chunk written before the oldest file goes.
        const chunk = 1048576 / 4;
        assert.ok(largest <= limit + chunk, `the folder held ${largest} bytes`);
    } finally {
        await rig.stop("SIGKILL");
        rig.remove();
    }
});

test("a write that fails gives one message line, stops recording, and the program runs on", { timeout: 60000 }, async () => {
    const rig = new QuillonRig();
    try {
        await rig.start(["record_folder rec", "log_camera_data 0", capture], 200 * 1024);
        await waitFor(() => rig.log().includes("Recorder - Unable to write"), 30000, "the failed write");
        const size = fs.statSync(rig.file("rec/" + recordings(rig)[0])).size;
        await new Promise((resolve) => setTimeout(resolve, 1500));
        assert.equal(rig.quillon.exitCode, null, "quillon runs on");
        assert.equal((rig.log().match(/Recorder - Unable to write/g) ?? []).length, 1);
        assert.equal(fs.statSync(rig.file("rec/" + recordings(rig)[0])).size, size, "nothing more is written");
        rig.quillon.kill("SIGTERM");
        assert.equal(await rig.quillon.exited, 0, "and it ends as usual");
    } finally {
        await rig.stop("SIGTERM");
        rig.remove();
    }
});
