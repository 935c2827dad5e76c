// A scripting client the control did not come with: Windows Script Host creates it by
// both program ids and reads back what it sets. Exit code 0 only when every check holds.
var failures = 0;
function check(what, got, want) {
  if (got !== want) {
    WScript.Echo("FAIL " + what + ": got " + got + ", want " + want);
    failures++;
  }
}
try {
  var ids = ["ovtransfer.OvTransferControl", "ovtransfer.OvTransferControl.1"];
  for (var i = 0; i < ids.length; i++) {
    var c = new ActiveXObject(ids[i]);
    check(ids[i] + " EnabledRate", c.EnabledRate, 1);
    check(ids[i] + " UploadRate", c.UploadRate, 2048);
    c.DatabaseGUID = "{5A1B}";
    c.SnapshotUploadUrl = "http://127.0.0.1:8853/snap";
    c.EnabledRate = 0;
    c.UploadRate = 400;
    check("DatabaseGUID", c.DatabaseGUID, "{5A1B}");
    check("SnapshotUploadUrl", c.SnapshotUploadUrl, "http://127.0.0.1:8853/snap");
    check("EnabledRate", c.EnabledRate, 0);
    check("UploadRate", c.UploadRate, 400);
    c.Open("user1", "User One", "pw");
    c.Close();
  }
} catch (e) {
  WScript.Echo("FAIL exception: " + e.message);
  failures++;
}
WScript.Echo(failures == 0 ? "properties: ok" : "properties: " + failures + " failed");
WScript.Quit(failures == 0 ? 0 : 1);
