// The four file-system queries from Windows Script Host, with no window at all.
var failures = 0;
function check(what, got, want) {
  if (got !== want) {
    WScript.Echo("FAIL " + what + ": got " + got + ", want " + want);
    failures++;
  }
}
try {
  var fso = new ActiveXObject("Scripting.FileSystemObject");
  var folder = fso.GetSpecialFolder(2).Path + "\\ovt-script-" + Math.floor(Math.random() * 1e9);
  fso.CreateFolder(folder);
  fso.CreateFolder(folder + "\\sub");
  var f = fso.CreateTextFile(folder + "\\a.txt", true);
  f.Write("hello");
  f.Close();
  f = fso.CreateTextFile(folder + "\\sub\\b.txt", true);
  f.Write("abc");
  f.Close();

  var c = new ActiveXObject("ovtransfer.OvTransferControl");
  check("FileIsExist file", c.FileIsExist(folder + "\\a.txt"), 1);
  check("FileIsExist missing", c.FileIsExist(folder + "\\none.txt"), 0);
  check("FileIsExist missing parent", c.FileIsExist(folder + "\\no\\none.txt"), 1);
  check("FolderIsExist", c.FolderIsExist(folder), 1);
  check("GetFileSize", c.GetFileSize(folder + "\\a.txt"), 5);
  check("GetFileSize folder", c.GetFileSize(folder), 0);
  check("GetFolderSize flat", c.GetFolderSize(folder, 0), 5);
  check("GetFolderSize deep", c.GetFolderSize(folder, 1), 8);
  check("GetFolderSize missing", c.GetFolderSize(folder + "\\none", 1), 0);
  fso.DeleteFolder(folder, true);
} catch (e) {
  WScript.Echo("FAIL exception: " + e.message);
  failures++;
}
WScript.Echo(failures == 0 ? "file helpers: ok" : "file helpers: " + failures + " failed");
WScript.Quit(failures == 0 ? 0 : 1);
