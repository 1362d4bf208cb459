// Reads a .msg file with the npm package @kenjiuno/msgreader and prints what it found as JSON:
// subject, body, sender, recipients and attachments (name and data length).
// Usage: node msgreader_dump.js NODE_MODULES_DIR FILE
const fs = require('fs');
const MsgReader = require(process.argv[2] + '/@kenjiuno/msgreader').default;
const reader = new MsgReader(fs.readFileSync(process.argv[3]));
const data = reader.getFileData();
const attachments = (data.attachments || []).map((a) => {
  let length = -1;
  try { length = reader.getAttachment(a).content.length; } catch (e) { length = -2; }
  return { fileName: a.fileName || null, length };
});
console.log(JSON.stringify({
  error: data.error || null,
  subject: data.subject || null,
  body: data.body || null,
  senderName: data.senderName || null,
  recipients: (data.recipients || []).map((r) => r.name || r.email || null),
  attachments,
}));
