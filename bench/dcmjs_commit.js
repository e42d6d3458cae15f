// dcmjs-dimse as a second storage commitment requestor for bench/commit_bench.sh: one N-ACTION-RQ
// (action type 1, a new transaction UID) asking HOST:PORT to commit the instances of LIST (one
// "SOP-class-UID SOP-instance-UID" a line), the report awaited on an association of the
// archive's own to a listener on RECEIVE_PORT, where it is answered with success. Prints one line,
//   dcmjs-dimse: committed C failed F of N in MS ms
// with MS the time from the request sent (the association accepted, the request goes out at
// once) to the report received. C counts the instances asked for that the report names committed;
// every failure (rejected association, refused request, a report of another transaction, no report
// within 60 s) ends the process with status 1 and a line on the error output.
//
// usage: NODE_PATH=DIR/node_modules node bench/dcmjs_commit.js HOST PORT CALLED LIST RECEIVE_PORT
//   (the calling AE title is DCMJS: the archive must know it with this host and RECEIVE_PORT)
const fs = require('fs');
const crypto = require('crypto');
const { Client, Server, Scp, Dataset } = require('dcmjs-dimse');
const { NActionRequest } = require('dcmjs-dimse').requests;
const { NEventReportResponse } = require('dcmjs-dimse').responses;
const { SopClass, Status, TransferSyntax, PresentationContextResult } = require('dcmjs-dimse').constants;

require('dcmjs-dimse').log.setLevel('error');
const [, , host, port, called, list, receivePort] = process.argv;
if (!receivePort) {
  console.error('usage: node dcmjs_commit.js HOST PORT CALLED LIST RECEIVE_PORT');
  process.exit(2);
}
const COMMITMENT_INSTANCE = '1.2.840.10008.1.20.1.1';
const WAIT_MS = 60000;

const fail = (why) => {
  console.error(`dcmjs-dimse: ${why}`);
  process.exit(1);
};
let text;
try {
  text = fs.readFileSync(list, 'utf8');
} catch (e) {
  fail(`cannot read ${list}: ${e.message}`);
}
const items = text.split('\n').filter((l) => l.trim() !== '').map((l) => {
  const [sopClass, sopInstance] = l.trim().split(/\s+/);
  if (!sopInstance) fail(`${list}: not "SOP-class-UID SOP-instance-UID": ${l}`);
  return { ReferencedSOPClassUID: sopClass, ReferencedSOPInstanceUID: sopInstance };
});
if (items.length === 0) fail(`${list} names no instances`);
const asked = new Set(items.map((i) => i.ReferencedSOPInstanceUID));
// A UID of the 2.25 root: the decimal form of a random 128-bit number.
const transaction = `2.25.${BigInt(`0x${crypto.randomBytes(16).toString('hex')}`)}`;

let sentAt = 0n;
let result;  // the line to print, once the report came
let clientClosed = false;
let reporterGone = false;
const finish = () => {
  if (!result || !clientClosed || !reporterGone) return;
  server.close();
  console.log(result);
  process.exit(0);
};

// One report, on whichever association it comes: the archive's own (expected) or ours.
const onReport = (report, callback) => {
  const response = NEventReportResponse.fromRequest(report);
  const e = report.getDataset() ? report.getDataset().getElements() : {};
  if (report.getEventTypeId() !== 1 && report.getEventTypeId() !== 2) {
    response.setStatus(Status.NoSuchEventType);
    callback(response);
    fail(`a report of event type ${report.getEventTypeId()}`);
  }
  if (e.TransactionUID !== transaction) {
    response.setStatus(Status.ProcessingFailure);
    callback(response);
    fail(`the report names transaction ${e.TransactionUID}, not ours (${transaction})`);
  }
  const ms = Number(process.hrtime.bigint() - sentAt) / 1e6;
  response.setStatus(Status.Success);
  callback(response);
  const committed = new Set((e.ReferencedSOPSequence || []).map((i) => i.ReferencedSOPInstanceUID)
    .filter((uid) => asked.has(uid)));
  const failed = (e.FailedSOPSequence || []).length;
  result = `dcmjs-dimse: committed ${committed.size} failed ${failed} of ${asked.size} in ${ms.toFixed(1)} ms`;
  finish();
};

class ReportListener extends Scp {
  associationRequested(association) {
    association.getPresentationContexts().forEach((c) => {
      const context = association.getPresentationContext(c.id);
      const syntaxes = context.getTransferSyntaxUids();
      const syntax = [TransferSyntax.ExplicitVRLittleEndian, TransferSyntax.ImplicitVRLittleEndian]
        .find((s) => syntaxes.includes(s));
      if (context.getAbstractSyntaxUid() !== SopClass.StorageCommitmentPushModel) {
        context.setResult(PresentationContextResult.RejectAbstractSyntaxNotSupported);
      } else if (!syntax) {
        context.setResult(PresentationContextResult.RejectTransferSyntaxesNotSupported);
      } else {
        context.setResult(PresentationContextResult.Accept, syntax);
      }
    });
    this.sendAssociationAccept();
    this.on('close', () => {
      reporterGone = true;
      finish();
    });
  }
  nEventReportRequest(request, callback) {
    onReport(request, callback);
  }
  associationReleaseRequested() {
    this.sendAssociationReleaseResponse();
  }
}

const server = new Server(ReportListener);
server.on('networkError', (e) => fail(`listener on port ${receivePort}: ${e}`));
server.on('listening', () => {
  const request = new NActionRequest(SopClass.StorageCommitmentPushModel, COMMITMENT_INSTANCE, 1);
  request.setDataset(new Dataset({ TransactionUID: transaction, ReferencedSOPSequence: items }));
  request.on('response', (response) => {
    if (response.getStatus() !== Status.Success)
      fail(`the archive refused the request: N-ACTION status 0x${response.getStatus().toString(16)}`);
  });
  const client = new Client();
  client.addRequest(request);
  // The request goes out as soon as the association is accepted.
  client.on('associationAccepted', () => {
    sentAt = process.hrtime.bigint();
  });
  client.on('associationRejected', (r) => fail(`association rejected (${JSON.stringify(r)})`));
  client.on('nEventReportRequest', (report, callback) => {
    reporterGone = true;
    onReport(report, callback);
  });
  client.on('networkError', (e) => {
    if (!result) fail(`${host}:${port}: ${e}`);
  });
  client.on('closed', () => {
    clientClosed = true;
    finish();
  });
  client.send(host, Number(port), 'DCMJS', called, { associationLingerTimeout: 0 });
});
server.listen(Number(receivePort));
setTimeout(() => fail(`no storage commitment report within ${WAIT_MS / 1000} s`), WAIT_MS);
