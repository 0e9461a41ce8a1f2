// Every text quorvel shows: message texts, captions, status texts and
// dialog titles. The program and its tests both read them from here, so a
// test compares against the very bytes the user sees. Sources are UTF-8;
// the compiler stores them in code page 932.
#ifndef QUORVEL_RESOURCES_TEXTS_H
#define QUORVEL_RESOURCES_TEXTS_H

// ---- Captions ------------------------------------------------------------------
inline constexpr const char* PROGRAM_TITLE = "quorvel";
inline constexpr const char* TITLE_WITH_PACK_FORMAT = "quorvel - %s";
inline constexpr const char* QUESTION_CAPTION = "質問";
inline constexpr const char* WARNING_CAPTION = "警告";
inline constexpr const char* ERROR_CAPTION = "エラー";
inline constexpr const char* DOOMED_CAPTION = "ｵﾜﾀ＼(＾o＾)／";
inline constexpr const char* STARTUP_FAILURE_CAPTION = "人生ｵﾜﾀ＼(＾o＾)／";
inline constexpr const char* COPY_FAILURE_CAPTION = "わあ";
inline constexpr const char* HEAP_FAILURE_CAPTION = "(ﾟ∀ﾟ)ｱﾋｬ";

// ---- Status texts --------------------------------------------------------------
inline constexpr const char* STARTING_STATUS = "起動処理中";
inline constexpr const char* READY_STATUS = "Ready";
inline constexpr const char* PACK_OPENED_STATUS = "パックを開いた。";
inline constexpr const char* PACK_CLOSED_STATUS = "パックを閉じた。";
inline constexpr const char* RUN_STARTED_STATUS = "展開を開始する。";
inline constexpr const char* RUN_COMPLETE_STATUS = "展開が完了した。";
inline constexpr const char* RUN_ABORTED_STATUS = "展開を中止した。";
inline constexpr const char* RUN_STOPPED_STATUS = "エラーが発生し、中断した。";
// The entry's name and its size in bytes.
inline constexpr const char* PROGRESS_STATUS_FORMAT = "展開中... %s (%lu Bytes)";

// ---- Dialog titles and the entry list's columns --------------------------------
inline constexpr const char* OPEN_DIALOG_TITLE = "パックファイルを指定してね";
inline constexpr const char* OPEN_DIALOG_FILTER = "Pakファイル (*.pak)\0*.pak\0";
inline constexpr const char* DESTINATION_CHOOSER_TITLE = "展開先を指定してね";
inline constexpr const char* NAME_COLUMN = "ファイル名";
inline constexpr const char* SIZE_COLUMN = "サイズ";
inline constexpr const char* OFFSET_COLUMN = "先頭アドレス";

// ---- Start-up --------------------------------------------------------------------
inline constexpr const char* HEAP_FAILURE_TEXT = "ヒープ作成失敗。\n原因: メモリ不足";
inline constexpr const char* WINDOW_FAILURE_TEXT = "ウィンドウ初期化失敗。\n原因: バグ もしくはリソース/メモリ不足";

// ---- The pack ----------------------------------------------------------------------
inline constexpr const char* OPEN_FAILURE_TEXT =
    "ファイルが開けません。\n原因: ファイルがない、もしくは使用中、ディスクがぶっ壊れてる";
inline constexpr const char* PACK_OUT_OF_MEMORY_TEXT =
    "メモリが足りないので、パックを開けません。\n原因: エントリが多すぎる、もしくはメモリ不足";
inline constexpr const char* HEAP_FREE_FAILURE_TEXT =
    "HeapFree失敗、でも続ける。できるだけ早く終了してくれ。\n原因: たぶんバグ";
inline constexpr const char* TOO_MANY_DROPPED_TEXT = "そんなにたくさん開けません。";

// ---- Questions about a run ---------------------------------------------------------
inline constexpr const char* CLOSE_QUESTION = "展開中です。 展開を中止して閉じますか?";
inline constexpr const char* QUIT_QUESTION = "展開中です! それでも終了しますか?";
inline constexpr const char* ABORT_QUESTION = "本当に展開を中止しますか?";
inline constexpr const char* CONTINUE_QUESTION = "エラーみたいですけど、続行しますか?";

// ---- Extraction --------------------------------------------------------------------
inline constexpr const char* NO_JOBS_MEMORY_TEXT = "展開の準備に失敗した。何も展開していない。\n原因: メモリ不足";
inline constexpr const char* NO_WORKER_TEXT = "展開スレッドが開始できない。何も展開していない。\n原因: メモリ/リソース不足";
inline constexpr const char* PACK_UNOPENED_TEXT =
    "パックファイルが開けません。\n原因: 他のアプリケーションが開いてる、ファイル移動しちゃったetc.";
inline constexpr const char* NO_TRANSFER_BUFFER_TEXT = "転送用メモリ確保に失敗(4KB)\n原因: メモリ不足 ねえよｗｗｗｗ";
inline constexpr const char* OUTPUT_UNOPENED_TEXT = "書き込みファイルが開けません。\n原因: 読み取り専用デバイスとか?";
inline constexpr const char* OVERWRITE_QUESTION = "書き込みファイルはすでに存在します。\n上書きしますか?";
inline constexpr const char* SHORT_READ_TEXT = "読み込み途中とかありえない";
inline constexpr const char* SHORT_WRITE_TEXT = "書き込み途中とかありえない";
// A copy given up half way whose file could not be removed; the caption
// names the file.
inline constexpr const char* PARTIAL_FILE_LEFT_TEXT =
    "書き込み途中のファイルが削除できません。\n中身は途中までです。手で削除してね。";

// ---- Preview -----------------------------------------------------------------------
inline constexpr const char* MANY_ROWS_QUESTION = "2個以上のファイルが選択されています。\n本当に全部開きますか?";
inline constexpr const char* NO_PREVIEW_FOLDER_TEXT = "一時ディレクトリが作成できません。\nプレビュー中止。";
// The pack's download mark could not be read (caption: the pack), or a copy
// of a marked pack could not be marked (caption: the copy): nothing is
// opened without the mark.
inline constexpr const char* ZONE_UNREADABLE_TEXT =
    "パックのゾーン情報が読めません。\nプレビュー中止。";
inline constexpr const char* ZONE_UNWRITTEN_TEXT =
    "コピーにゾーン情報を付けられないので、開きません。\n原因: アクセス拒否とか?";

// ---- Removing the preview folder ---------------------------------------------------
inline constexpr const char* FILE_RETRY_QUESTION = "ファイル削除失敗\n再試行しますか?";
inline constexpr const char* FOLDER_RETRY_QUESTION = "フォルダ削除失敗\n再試行しますか?";
inline constexpr const char* SEARCH_FAILED_TEXT = "ディレクトリ検索失敗\n再帰ディレクトリ削除中止。";

#endif
