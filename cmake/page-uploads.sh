# What examples/upload.html uploads and how to check it arrived (sourced by the demo and by the
# cabinets' checks).

# local file under the page's media folder (cmake/demo-media.py) : remote name without its query;
# no local file for what the control writes itself (the note and the link's manifest).
PAGE_UPLOADS=(video.avi:demo/video.avi video.srt:demo/video.srt album-cover.bmp:demo/album-cover.bmp
              album/page1.txt:demo/album/page1.txt album/inner/photo.bmp:demo/album/inner/photo.bmp
              album/inner/page2.txt:demo/album/inner/page2.txt press/release.txt:demo/press/release.txt
              :demo/note.txt :demo/link.xml)

# page_uploads_arrived LOG: how many files the receiver has logged as complete.
page_uploads_arrived() { grep -c '^FILE' "$1" 2>/dev/null || true; }

# page_uploads_compare MEDIA RECEIVED LOG: a table of sent against received; non-zero when a file
# is missing or differs.
page_uploads_compare() {
  local media=$1 received=$2 log=$3 status=0 pair local_name remote got received_size sent_size verdict logged
  printf '\n%-30s %10s %10s  %s\n' "remote file" "sent" "received" "content"
  for pair in "${PAGE_UPLOADS[@]}"; do
    local_name=${pair%%:*} remote=${pair#*:}
    got=$received/$remote
    received_size=$([ -f "$got" ] && stat -c %s "$got" || echo -)
    if [ -n "$local_name" ]; then
      sent_size=$(stat -c %s "$media/$local_name")
      if [ -f "$got" ] && cmp -s "$media/$local_name" "$got"; then verdict=equal; else verdict=DIFFERS; status=1; fi
    else
      sent_size="(made)"
      logged=$(awk -F'\t' -v p="$remote" '$1 == "FILE" && $5 == p {print $3}' "$log" 2>/dev/null | tail -n 1)
      if [ -f "$got" ] && [ "$logged" = "$received_size" ]; then verdict="logged, size equal"; else verdict=MISSING; status=1; fi
    fi
    printf '%-30s %10s %10s  %s\n' "$remote" "$sent_size" "$received_size" "$verdict"
  done
  return $status
}
