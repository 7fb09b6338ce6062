// Runs the real quillon against quillon-sim in a fresh folder, for tests that judge it with others' code.
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const binDir = process.env.QUILLON_BIN_DIR ?? path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../../build/default");

export async function waitFor(condition, limitMs = 10000, what = "condition") {
    const end = Date.now() + limitMs;
    for (;;) {
        const value = await condition();
        if (value)
            return value;
        if (Date.now() > end)
            throw new Error(`timed out waiting for ${what}`);
        await new Promise((resolve) => setTimeout(resolve, 50));
    }
}

function readOr(file, fallback = "") {
    try {
        return fs.readFileSync(file, "utf8");
    } catch {
        return fallback;
    }
}

// A folder with the simulator's config.txt plus the given lines; start() runs quillon there.
export class QuillonRig {
    constructor() {
        this.folder = fs.mkdtempSync(path.join(os.tmpdir(), "quillon-node-"));
        this.children = [];
    }

    file(name) {
        return path.join(this.folder, name);
    }

    run(program, args) {
        const child = spawn(program, args, { cwd: this.folder, stdio: "ignore" });
        child.exited = new Promise((resolve) => child.on("exit", (code, signal) => resolve(signal ?? code)));
        this.children.push(child);
        return child;
    }

    // fileLimit: bytes any one file of quillon's may reach (as a full disk stops writes); SIGXFSZ ignored.
    async start(configLines, fileLimit = 0) {
        this.sim = this.run(path.join(binDir, "quillon-sim"), ["--write-config", this.folder, "--no-stdin", "--quiet"]);
        await waitFor(() => readOr(this.file("config.txt")).startsWith("serial_port pts/"), 10000, "the simulator");
        fs.appendFileSync(this.file("config.txt"), configLines.map((line) => line + "\n").join(""));
        this.quillon = fileLimit > 0
            ? this.run("/bin/sh", ["-c", `trap "" XFSZ; ulimit -f ${Math.ceil(fileLimit / 512)}; exec "$0" --headless`,
                                   path.join(binDir, "quillon")])
            : this.run(path.join(binDir, "quillon"), ["--headless"]);
        await waitFor(() => readOr(this.file("log.txt")).includes("Recorder - Recording into"), 10000, "the recorder");
    }

    log() {
        return readOr(this.file("log.txt"));
    }

    async stop(signal = "SIGTERM") {
        for (const child of this.children.reverse()) {
            if (child.exitCode === null && child.signalCode === null)
                child.kill(signal);
            await child.exited;
        }
        this.children = [];
    }

    remove() {
        fs.rmSync(this.folder, { recursive: true, force: true });
    }
}
