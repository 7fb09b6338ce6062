// The camera panel's live video: asks Quillon for WebRTC over the console's WebSocket, answers its offer,
// plays the video muted and inline, and tells the source's size, the frames a second the browser really
// shows (its own statistics), the bitrate received, the encoder's and the link's estimate, and the age of
// the newest frame. While the video connects or plays, Quillon sends no pictures, which would only crowd a
// narrow link.
// When no video connects within 5 s, no frame is decoded 5 s after it connected, the video freezes for
// more than 3 s, or it ends, the panel shows the pictures that come over the WebSocket and says so, and
// the video takes over again as soon as its frames flow.
(function () {
  'use strict';

  const CONNECT_LIMIT_MS = 5000;
  const FIRST_FRAME_MS = 5000;    // connected, but no frame decoded for this long: pictures
  const FREEZE_MS = 3000;         // no new frame for this long while the video was shown: pictures
  const STALL_MS = 1000;          // no new frame for this long: grey, "no video"
  const RETRY_MS = 10000;         // a video that ended is asked for again after this
  const $ = (id) => document.getElementById(id);

  const video = $('video');
  const panel = $('picture');
  const label = $('no-picture');
  let send = null;
  let peer = null;
  let connectTimer = null;
  let retryTimer = null;
  let lastFrameAt = 0;            // performance.now() of the newest frame shown or decoded
  let connectedAt = 0;            // performance.now() when WebRTC connected; 0 before
  let lastStats = null;           // the previous inbound-rtp report, for the rates
  // What Quillon was last told of the pictures; a page that tries the video connects asking for none.
  const PICTURES_AT_FIRST = !window.RTCPeerConnection;
  let picturesOn = PICTURES_AT_FIRST;
  const facts = { source: 'pictures', fps: 0, width: 0, height: 0, age: null, reason: '', frames: 0,
                  receivedKbps: 0, kbps: null, estimate: null, remb: null, lost: null, rtt: null };

  // Quillon sends pictures only while they are shown.
  function wantPictures(on) {
    if (send && on !== picturesOn)
      send({ type: 'pictures', on: on });
    picturesOn = on;
  }

  function showSource(source, reason) {
    facts.source = source;
    facts.reason = reason || '';
    const element = $('camera-source');
    element.dataset.source = source;
    element.textContent = source === 'video' ? 'live video (WebRTC)'
      : source === 'connecting' ? 'pictures; video connecting'
      : 'pictures' + (reason ? ' (' + reason + ')' : '');
    panel.classList.toggle('video-shown', source === 'video');
    video.hidden = source !== 'video';
    // None while the video connects either: on a narrow link they would crowd it out.
    wantPictures(source === 'pictures');
    if (source !== 'video') {
      panel.classList.remove('stalled');
      label.textContent = 'no picture yet';
      label.hidden = $('camera').hasAttribute('src');
    }
  }

  function start() {
    clearTimeout(retryTimer);
    retryTimer = null;
    if (!send)
      return;
    if (!window.RTCPeerConnection) {
      showSource('pictures', 'this browser has no WebRTC');
      return;
    }
    showSource('connecting');
    send({ type: 'video' });
    connectTimer = setTimeout(notYet, CONNECT_LIMIT_MS);
  }

  // Pictures meanwhile; the video still may connect, and takes over when it does.
  function notYet() {
    connectTimer = null;
    if (facts.source !== 'video' && !connectedAt)
      showSource('pictures', 'WebRTC did not connect within 5 s');
  }

  function dropPeer(keepTimer) {
    if (!keepTimer) {
      clearTimeout(connectTimer);
      connectTimer = null;
    }
    if (peer) {
      peer.ontrack = peer.onicecandidate = peer.onconnectionstatechange = null;
      peer.close();
      peer = null;
    }
    video.srcObject = null;
    lastStats = null;
    connectedAt = 0;
    facts.frames = 0;
    facts.kbps = facts.estimate = null;
  }

  // Pictures again; the video is asked for again later unless the console has none to give.
  function fallBack(reason, tellQuillon) {
    dropPeer();
    if (tellQuillon && send)
      send({ type: 'video_stop' });
    showSource('pictures', reason);
    if (send && reason !== 'no capture runs')
      retryTimer = setTimeout(start, RETRY_MS);
  }

  async function takeOffer(sdp) {
    dropPeer(true);
    const own = new RTCPeerConnection({ iceServers: [] });
    peer = own;
    own.ontrack = (event) => {
      video.srcObject = event.streams[0] || new MediaStream([event.track]);
      video.play().catch(() => {});
    };
    own.onicecandidate = (event) => {
      const c = event.candidate;
      send({ type: 'candidate', candidate: c ? c.candidate : '', mline: c && c.sdpMLineIndex !== null ? c.sdpMLineIndex : 0 });
    };
    own.onconnectionstatechange = () => {
      if (own !== peer)
        return;
      if (own.connectionState === 'connected' && !connectedAt)
        connectedAt = performance.now();
      if (own.connectionState === 'failed' || own.connectionState === 'closed')
        fallBack('the WebRTC connection failed', true);
    };
    try {
      await own.setRemoteDescription({ type: 'offer', sdp: sdp });
      const answer = await own.createAnswer();
      await own.setLocalDescription(answer);
      if (own === peer)
        send({ type: 'answer', sdp: answer.sdp });
    } catch (error) {
      if (own === peer)
        fallBack('the browser refused the offer', true);
    }
  }

  function receive(message) {
    if (message.type === 'offer' && typeof message.sdp === 'string')
      takeOffer(message.sdp);
    else if (message.type === 'candidate' && peer && message.candidate)
      peer.addIceCandidate({ candidate: message.candidate, sdpMLineIndex: message.mline }).catch(() => {});
    else if (message.type === 'video_end')
      fallBack(message.reason || 'the video ended', false);
    else if (message.type === 'video_rate') {
      facts.kbps = message.kbps;
      facts.estimate = message.estimate;
      facts.remb = message.remb;
      facts.lost = message.lost;
      facts.rtt = message.rtt;
    }
  }

  // Frames flow: the video is shown. (A hidden video reports no frames shown, so this comes from playing
  // and from the decoder's count.)
  function framesFlow() {
    if (!peer || facts.source === 'video')
      return;
    clearTimeout(connectTimer);
    connectTimer = null;
    lastFrameAt = performance.now();
    showSource('video');
  }
  video.addEventListener('playing', framesFlow);

  // Connected but nothing to show, or frozen: the pictures, until frames flow again.
  function watchFlow() {
    if (!peer || !connectedAt)
      return;
    const now = performance.now();
    if (facts.source === 'video' && now - lastFrameAt > FREEZE_MS)
      showSource('pictures', 'the video froze; pictures until it moves again');
    else if (facts.source !== 'video' && facts.frames === 0 && now - connectedAt > FIRST_FRAME_MS &&
             facts.reason.indexOf('no video frame') < 0)
      showSource('pictures', 'no video frame within 5 s of connecting; pictures until one comes');
  }

  // Every frame the browser shows.
  function frameShown() {
    lastFrameAt = performance.now();
    watchFrames();
  }

  function watchFrames() {
    if (video.requestVideoFrameCallback)
      video.requestVideoFrameCallback(frameShown);
  }
  if (!video.requestVideoFrameCallback)
    video.addEventListener('timeupdate', frameShown);
  watchFrames();

  async function readStats() {
    if (!peer)
      return;
    const reports = await peer.getStats();
    reports.forEach((report) => {
      if (report.type !== 'inbound-rtp' || report.kind !== 'video')
        return;
      if (lastStats && report.timestamp > lastStats.timestamp) {
        const seconds = (report.timestamp - lastStats.timestamp) / 1000;
        facts.fps = (report.framesDecoded - lastStats.framesDecoded) / seconds;
        facts.receivedKbps = (report.bytesReceived - lastStats.bytesReceived) * 8 / 1000 / seconds;
        if (report.framesDecoded > lastStats.framesDecoded) {
          lastFrameAt = Math.max(lastFrameAt, performance.now() - 1000 * Math.min(seconds, 0.5));
          framesFlow();
        }
      }
      facts.frames = report.framesDecoded || 0;
      facts.width = report.frameWidth || video.videoWidth;
      facts.height = report.frameHeight || video.videoHeight;
      lastStats = report;
    });
  }

  function showFacts() {
    const element = $('video-facts');
    if (facts.source !== 'video') {
      element.textContent = '';
      return;
    }
    facts.age = lastFrameAt ? performance.now() - lastFrameAt : null;
    const stalled = facts.age === null || facts.age > STALL_MS;
    panel.classList.toggle('stalled', stalled);
    label.textContent = 'no video';
    label.hidden = !stalled;
    element.textContent = facts.width + ' \u00d7 ' + facts.height + ', ' + facts.fps.toFixed(1) + ' fps, ' +
      Math.round(facts.receivedKbps) + ' kbit/s' +
      (facts.kbps === null ? '' : ' (sent at ' + facts.kbps + ', link estimate ' + facts.estimate + ')') +
      ', newest frame ' + (facts.age === null ? '\u2013' : Math.round(facts.age) + ' ms') + ' old';
  }

  setInterval(() => { readStats().catch(() => {}); watchFlow(); }, 500);
  setInterval(showFacts, 250);

  $('fullscreen').addEventListener('click', () => {
    if (document.fullscreenElement)
      document.exitFullscreen();
    else if (panel.requestFullscreen)
      panel.requestFullscreen().catch(() => {});
  });

  // The frame shown, video or picture, as a JPEG file named after the moment.
  $('save-frame').addEventListener('click', () => {
    const live = facts.source === 'video';
    const source = live ? video : $('camera');
    const width = live ? video.videoWidth : source.naturalWidth;
    const height = live ? video.videoHeight : source.naturalHeight;
    if (!width || !height)
      return;
    const canvas = document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
    canvas.getContext('2d').drawImage(source, 0, 0, width, height);
    canvas.toBlob((blob) => {
      const link = document.createElement('a');
      link.href = URL.createObjectURL(blob);
      link.download = 'quillon-' + new Date().toISOString().replace(/[:.]/g, '-') + '.jpg';
      link.click();
      setTimeout(() => URL.revokeObjectURL(link.href), 1000);
    }, 'image/jpeg', 0.92);
  });

  window.quillonVideo = {
    facts: facts,
    peer: () => peer,
    connectedAt: () => connectedAt,
    open: (sendMessage) => { send = sendMessage; start(); },
    closed: () => {
      send = null;
      picturesOn = PICTURES_AT_FIRST;  // as a new connection starts
      clearTimeout(retryTimer);
      retryTimer = null;
      dropPeer();
      showSource('pictures', 'not connected');
    },
    receive: receive,
  };
}());
