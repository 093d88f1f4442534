// A small Marionette (Firefox's WebDriver) client: "length:json" frames over TCP.
const net = require('net');
class Marionette {
  constructor(port) { this.port = port; this.id = 0; this.waiting = new Map(); this.buffer = Buffer.alloc(0); }
  connect() {
    return new Promise((resolve, reject) => {
      let greeted = false;
      this.socket = net.connect(this.port, '127.0.0.1');
      this.socket.on('error', reject);
      this.socket.on('data', (chunk) => {
        this.buffer = Buffer.concat([this.buffer, chunk]);
        for (;;) {
          const colon = this.buffer.indexOf(':');
          if (colon < 0) return;
          const length = parseInt(this.buffer.slice(0, colon).toString(), 10);
          if (this.buffer.length < colon + 1 + length) return;
          const message = JSON.parse(this.buffer.slice(colon + 1, colon + 1 + length).toString());
          this.buffer = this.buffer.slice(colon + 1 + length);
          if (!greeted) { greeted = true; resolve(message); continue; }
          const [, id, error, result] = message;
          const w = this.waiting.get(id);
          this.waiting.delete(id);
          if (w) error ? w.reject(new Error(JSON.stringify(error))) : w.resolve(result);
        }
      });
    });
  }
  send(command, params = {}) {
    const id = ++this.id;
    const text = JSON.stringify([0, id, command, params]);
    this.socket.write(`${Buffer.byteLength(text)}:${text}`);
    return new Promise((resolve, reject) => this.waiting.set(id, { resolve, reject }));
  }
}
module.exports = Marionette;
