#include "foundation/L.h"

#include "foundation/Settings.h"

#include <QHash>
#include <QLocale>

namespace quilvant::L {

const QString consentNoticeKey = QStringLiteral("翻译前提示说明");

namespace {

using Table = QHash<QString, QString>;

const Table& englishTable()
{
    static const Table table = [] {
        Table t;
        const auto add = [&t](const char* key, const char* english) {
            t.insert(QString::fromUtf8(key), QString::fromUtf8(english));
        };
        // Hosted service
        add("该内容不符合使用规范。", "This content does not meet our usage guidelines.");
        add("该内容需进一步审核，请稍后重试。此次不扣额度。",
            "This content needs review. Try again later; no allowance was used.");
        add("审核服务暂不可用，请稍后重试。此次不扣额度。",
            "Safety checks are unavailable. Try again later; no allowance was used.");
        add("请求较多，请稍后重试。此次不扣额度。", "Too many requests. Try again later; no allowance was used.");
        add("操作过于频繁，请稍后重试。", "Too many requests. Please try again shortly.");
        add("文字过长，请缩小选区。", "Too much text. Select a smaller area.");
        add("翻译失败，请重试。此次不扣额度。", "Translation failed. Try again; no allowance was used.");
        add("服务暂时不可用，请稍后重试。", "Service unavailable. Please try again shortly.");
        add("暂时无法完成，请稍后重试。", "Could not complete this. Please try again shortly.");
        add("服务尚未开放", "Hosted service is not available yet");
        add("服务返回的数据过大，已停止读取。", "The service sent more data than expected. Reading stopped.");
        add("服务令牌含有控制字符，请重新保存。", "The service token contains control characters. Save it again.");
        add("服务地址被重定向（HTTP %1）到 %2。", "The service redirects (HTTP %1) to %2.");
        add("服务地址被重定向（HTTP %1），但未给出新地址。", "The service redirects (HTTP %1) without naming where.");
        // Transfers that failed on the way, whichever engine made them
        add("无法连接翻译服务，请检查网络和设置中的地址。",
            "Cannot reach the translation service. Check the network and the address in Settings.");
        add("无法与翻译服务建立安全连接，请检查设置中的地址和服务的证书。",
            "Could not set up a secure connection to the translation service. Check the address in Settings and "
            "the service's certificate.");
        add("翻译服务响应超时，请重试。", "The translation service timed out. Please try again.");
        add("与翻译服务的连接中断，请重试。", "The connection to the translation service was lost. Please try again.");
        add("与翻译服务的连接出错，请重试。", "The connection to the translation service failed. Please try again.");
        // Consent
        add("翻译前请确认", "Before you translate");
        add("翻译前提示说明",
            "Your source text and its translations are sent to an outside content-safety checking service and "
            "processed by the translation service you selected; screenshots are never uploaded.");
        add("同意并继续", "Agree and continue");
        add("取消", "Cancel");
        add("隐私政策", "Privacy policy");
        // Agent engine
        add("翻译连接已关闭。", "Translation connection closed.");
        add("未找到 Codex CLI，请在设置中填写路径，并先运行 codex login。",
            "Codex CLI was not found. Set its path in Settings and run codex login first.");
        add("Codex 连接中断，请重新翻译。", "Codex disconnected. Please translate again.");
        add("Codex 未连接，请重试。", "Codex is not connected. Please try again.");
        add("Codex 连接准备超时，请检查网络和登录状态后重试。",
            "Codex connection timed out. Check your network and login status.");
        add("Codex 未完成翻译，请重试。", "Codex did not complete the translation. Please retry.");
        add("Codex 请求失败，请检查网络、模型名称和登录状态。",
            "Codex request failed. Check the network, model name and login status.");
        add("翻译等待超过 60 秒，请检查网络后重试。",
            "Translation timed out after 60 seconds. Check your connection and retry.");
        add("Codex 未返回会话信息。", "Codex did not return a session.");
        add("Codex 返回的消息过大，已停止读取。", "Codex sent a message that was too large. Reading stopped.");
        // Chat-completions engine and its settings checks
        add("MiniMax 返回了无法解析的流式数据，请重试。", "MiniMax returned an invalid stream. Please retry.");
        add("MiniMax 译文被长度限制截断，请缩小选区后重试。",
            "MiniMax output was truncated. Select a smaller area and retry.");
        add("MiniMax 未完整返回译文，请重试；当前部分内容未缓存。",
            "MiniMax did not return a complete translation. Please retry; partial output was not cached.");
        add("MiniMax 未返回有效的 HTTP 响应。", "MiniMax did not return a valid HTTP response.");
        add("MiniMax 返回的数据过大，已停止读取。", "MiniMax response was too large. Reading stopped.");
        add("MiniMax 译文被长度限制截断，请缩小选区重试。",
            "MiniMax output was truncated. Select a smaller area and retry.");
        add("MiniMax 未返回译文，请检查模型或重试。", "MiniMax returned no translation. Check the model or retry.");
        add("MiniMax 流式事件过大，已停止读取。", "MiniMax stream event was too large. Reading stopped.");
        add("请先在设置中保存 MiniMax API Key。", "Save your MiniMax API key in Settings first.");
        add("请先在设置中填写 MiniMax 模型名称。", "Enter a supported MiniMax model in Settings first.");
        add("请填写有效的 HTTPS API 地址。", "Enter a valid HTTPS API endpoint.");
        add("MiniMax API Key 含有控制字符，请在设置中重新保存。",
            "The MiniMax API key contains control characters. Save it again in Settings.");
        add("MiniMax 接口地址被重定向（HTTP %1）到 %2，请在设置中填写最终的 API 地址。",
            "The MiniMax endpoint redirects (HTTP %1) to %2. Enter the final API endpoint in Settings.");
        add("MiniMax 接口地址被重定向（HTTP %1），但未给出新地址，请检查设置中的 API 地址。",
            "The MiniMax endpoint redirects (HTTP %1) without naming where. Check the API endpoint in Settings.");
        // Card, editor and translation status
        add("准备就绪", "Ready");
        add("原文已修改", "Source edited");
        add("粘贴文字即可翻译", "Paste text to translate");
        add("正在翻译…", "Translating…");
        add("正在生成译文…", "Writing translation…");
        add("翻译完成", "Translation complete");
        add("翻译未完成", "Translation failed");
        add("原文", "Source text");
        add("简体中文", "Simplified Chinese");
        add("繁體中文", "Traditional Chinese");
        add("收起原文", "Collapse source");
        add("展开原文", "Expand source");
        add("复制原文", "Copy source");
        add("复制译文", "Copy translation");
        add("已复制", "Copied");
        add("框选，读懂。", "Select. Translate. Keep reading.");
        add("按 ⌥ D 框选英文，或在上方粘贴文字。", "Press Alt+D to capture, or paste text above.");
        add("设置", "Settings");
        add("取消固定", "Unpin window");
        add("固定窗口", "Pin window");
        add("关闭 · Esc", "Close · Esc");
        add("已停止", "Stopped");
        add("停止", "Stop");
        add("翻译", "Translate");
        add("原文，可编辑；清空后粘贴自动翻译", "Source text, editable; paste into an empty field to translate");
        // Menu and window titles
        add("框选翻译", "Capture & Translate");
        add("监视区域翻译", "Watch Region");
        add("停止监视区域", "Stop Watching");
        add("正在监视区域 · 按 %1 或关闭卡片即可停止", "Watching the region · %1 or closing the card stops it");
        add("已停止监视区域", "Stopped watching");
        add("翻译多次失败，监视已暂停，%1 秒后继续。",
            "Translation failed repeatedly. Watching paused; resumes in %1 s.");
        add("这个桌面不允许 Sorn 监视屏幕区域。", "This desktop does not let Sorn watch a region of the screen.");
        add("框选监视区域需要 slop（X11）或 slurp（wlroots 桌面）。",
            "Selecting a region to watch needs slop (X11) or slurp (wlroots desktops).");
        add("监视的区域不在屏幕上。", "The region to watch is not on the screen.");
        add("监视的区域已无法读取，监视已停止。", "The watched region can no longer be read. Watching stopped.");
        add("监视的区域已不在屏幕上，监视已停止。", "The watched region is no longer on the screen. Watching stopped.");
        add("监视区域快捷键", "Watch shortcut");
        add("监视区域", "Watch");
        add("打开翻译卡片", "Open Translation");
        add("设置…", "Settings…");
        add("退出 Sorn", "Quit Sorn");
        add("Sorn · 框选翻译", "Sorn · Screenshot translator");
        add("Sorn 设置", "Sorn Settings");
        // Capture and recognition
        add("正在框选…", "Select an area…");
        add("正在识别…", "Recognizing text…");
        add("识别未完成", "Text recognition failed");
        add("需要屏幕录制权限", "Screen capture unavailable");
        add("已取消框选，或系统未生成截图", "Capture canceled");
        add("快捷键注册失败，请在设置中选择另一个组合。", "Shortcut unavailable. Choose another shortcut in Settings.");
        add("请在系统设置 → 隐私与安全性 → 屏幕与系统音频录制中允许「Sorn」，然后重新打开应用。",
            "Sorn found no way to take screenshots on this desktop. Install xdg-desktop-portal and the portal backend "
            "for your desktop (or grim and slurp on sway and other wlroots desktops), then capture again.");
        add("没有识别到文字，请框选更清晰的区域。", "No text found. Select a clearer area.");
        // Welcome, permission and settings
        add("欢迎使用 Sorn", "Welcome to Sorn");
        add("开始使用", "Get started");
        add("屏幕录制权限", "Screen capture");
        add("检查权限", "Check again");
        add("已允许", "Allowed");
        add("尚未允许", "No screenshot tool found");
        add("隐私", "Privacy");
        add("通用", "General");
        add("界面语言", "App language");
        add("跟随系统", "System");
        add("登录后自动启动", "Launch at login");
        add("翻译服务", "Translation service");
        add("目标语言", "Translate into");
        add("全局快捷键", "Global shortcut");
        add("自带 API Key", "Your own API key");
        add("高级设置", "Advanced");
        add("保存 API Key", "Save API key");
        add("已保存到钥匙串", "Saved to the keyring");
        add("API Key · 保存在 macOS 钥匙串", "API key · stored in the desktop keyring");
        add("HTTPS API 地址", "HTTPS API endpoint");
        add("模型名称", "Model name");
        add("CLI 路径（留空自动检测）", "CLI path (blank for auto-detect)");
        add("模型名称（留空使用 CLI 默认）", "Model (blank for CLI default)");
        add("检查更新", "Check for updates");
        add("稍后", "Later");
        add("服务地址", "Service address");
        add("访问令牌 · 保存在系统密钥环", "Access token · stored in the desktop keyring");
        add("保存访问令牌", "Save access token");
        add("正在保存…", "Saving…");
        add("复制", "Copy");
        // Description keys
        add("欢迎页说明", "Press Alt+D and select text on your screen.\nAllow screen capture if your desktop asks.");
        add("首次使用说明", "Press Alt+D to select text on your screen; allow screen capture if your desktop asks.");
        add("服务隐私说明",
            "Screenshots stay on this computer. Text is sent for safety checks and translation. We do not save that "
            "text.");
        add("自己的 Key 说明", "Your key stays on this computer. Your provider bills usage separately.");
        add("Codex 说明", "Requires Codex CLI, signed in to your own account.");
        add("全局快捷键不可用说明",
            "No global shortcut could be registered. In your desktop's keyboard shortcut settings, bind a key to "
            "this command:");
        // Keyring
        add("无法将 API Key 保存到钥匙串。", "Could not save the API key to the keyring.");
        add("无法更新钥匙串中的 API Key。", "Could not update the API key in the keyring.");
        add("无法从钥匙串中删除 API Key。", "Could not remove the API key from the keyring.");
        add("无法访问系统钥匙串：%1", "The keyring cannot be reached: %1");
        add("钥匙串已锁定，请先解锁再重试。", "The keyring is locked. Unlock it and try again.");
        add("钥匙串中保存的内容不是有效的 UTF-8 文本，请在设置中重新保存。",
            "The value stored in the keyring is not valid UTF-8 text. Save it again in Settings.");
        add("密钥不能包含控制字符（例如换行）。", "A key cannot contain control characters such as line breaks.");
        // Settings that cannot be used as stored
        add("无法读取设置文件 %1：%2", "Cannot read the settings file %1: %2");
        add("不是普通文件", "not a regular file");
        add("格式有误", "not a valid settings file");
        add("设置中的 Codex CLI 路径是一个文件夹：%1", "The Codex CLI path in Settings is a folder: %1");
        add("设置中的 Codex CLI 无法执行，请检查文件和执行权限：%1",
            "The Codex CLI in Settings cannot be run. Check the file and its execute permission: %1");
        // Command line
        add("未知选项：%1", "Unknown option: %1");
        add("运行 quilvant --help 查看可用的模式和选项。", "Run quilvant --help to see the modes and options.");
        add("Sorn 需要图形会话：未设置 DISPLAY 或 WAYLAND_DISPLAY。",
            "Sorn needs a graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set.");
        add("Sorn 需要图形会话：无法打开显示 %1。", "Sorn needs a graphical session: cannot open the display %1.");
        add("无法写入标准输出：%1", "Cannot write to standard output: %1");
        add("标准输入超过 %1 字节，超出翻译服务能接受的长度。",
            "Standard input is longer than %1 bytes, more than any translation engine accepts.");
        add("标准输入的第一行过长，不是 API Key。", "The first line of standard input is too long to be an API key.");
        add("无法读取图片 %1：文件是空的。", "Cannot read the image %1: empty file.");
        add("图片 %1 过大，无法识别（%2 × %3 像素，上限为 %4 百万像素）。",
            "The image %1 is too large to recognise (%2 × %3 pixels; the limit is %4 million pixels).");
        // The selected text
        add("翻译选中文字", "Translate Selection");
        add("无法读取选中文字", "Cannot read the selection");
        add("按 Alt+Shift+%1 翻译选中的文字。", "Alt+Shift+%1 translates the selected text.");
        add("没有选中的文字", "No text selected");
        add("选中文字的程序没有回应，请重试。", "The program holding the selection did not answer. Try again.");
        add("这个桌面不让程序读取选中的文字。请安装 wl-clipboard，或复制文字后粘贴到上方。",
            "This desktop does not let programs read the selected text. Install wl-clipboard, or copy the text and "
            "paste it above.");
        add("选中文字：这个桌面允许直接读取选中的文字（没有选中时读取剪贴板）。",
            "Selected text: this desktop lets Quilvant read the highlighted text (the clipboard when nothing is "
            "highlighted).");
        add("选中文字：这个桌面只允许读取剪贴板，请先复制要翻译的文字。",
            "Selected text: this desktop only lets Quilvant read the clipboard, so copy the text to translate first.");
        add("选中文字：这个桌面不允许读取选中的文字或剪贴板。",
            "Selected text: this desktop lets Quilvant read neither the selection nor the clipboard.");
        // History
        add("翻译记录…", "History…");
        add("翻译记录", "History");
        add("保留翻译记录", "Keep a history");
        add("清除", "Clear");
        add("翻译记录只保存在这台电脑上，不会上传。", "The history stays on this computer and is never uploaded.");
        add("清除翻译记录", "Clear the history");
        add("清除这台电脑上的全部翻译记录？此操作无法撤销。",
            "Clear every kept translation on this computer? This cannot be undone.");
        add("翻译记录文件无法读取，已移到 %1，新的记录已开始。",
            "The history file could not be read. It was moved to %1 and a new history was started.");
        add("搜索原文或译文", "Search source or translation");
        add("译文", "Translation");
        add("在卡片中打开", "Open in card");
        add("删除", "Delete");
        add("导出 CSV…", "Export CSV…");
        add("导出 Anki 文本…", "Export for Anki…");
        add("导出翻译记录", "Export the history");
        add("文本文件", "Text files");
        add("已导出", "Exported");
        add("导出失败：%1", "Export failed: %1");
        add("还没有翻译记录", "No translations kept yet");
        add("%1 条", "%1 entries");
        return t;
    }();
    return table;
}

// The Chinese texts that differ from their key: the description keys, and texts reworded for Linux desktops.
const Table& chineseDescriptionTable()
{
    static const Table table = [] {
        Table t;
        const auto add = [&t](const char* key, const char* chinese) {
            t.insert(QString::fromUtf8(key), QString::fromUtf8(chinese));
        };
        add("欢迎页说明", "按 Alt+D，框选屏幕上的文字。\n如果桌面询问，请允许截屏。");
        add("首次使用说明", "按 Alt+D 框选屏幕上的文字；如果桌面询问，请允许截屏。");
        add("服务隐私说明", "截图留在本机。原文、译文会用于安全审核与翻译，我们不保存这些文字。");
        add("自己的 Key 说明", "Key 保存在本机，使用费用由供应商另行收取。");
        add("Codex 说明", "需安装并登录 Codex CLI，使用自己的账号。");
        add("翻译前提示说明", "原文和译文会发送至外部内容安全审核服务，并由你选择的翻译服务处理；截图不会上传。");
        add("全局快捷键不可用说明", "无法注册全局快捷键。请在桌面的键盘快捷键设置中，为下面的命令绑定一个组合键：");
        // Keys that name another desktop's keys, settings and keychain read as this desktop's.
        add("按 ⌥ D 框选英文，或在上方粘贴文字。", "按 Alt+D 框选英文，或在上方粘贴文字。");
        add("需要屏幕录制权限", "无法截屏");
        add("请在系统设置 → 隐私与安全性 → 屏幕与系统音频录制中允许「Sorn」，然后重新打开应用。",
            "Sorn 在此桌面上找不到截屏的方式。请安装 xdg-desktop-portal 及适合你桌面的门户后端（sway 等 wlroots 桌面可"
            "安装 grim 和 slurp），然后重新框选。");
        add("检查权限", "重新检查");
        add("尚未允许", "未找到截图工具");
        add("屏幕录制权限", "截屏");
        add("已保存到钥匙串", "已保存到密钥环");
        add("API Key · 保存在 macOS 钥匙串", "API Key · 保存在系统密钥环");
        add("无法将 API Key 保存到钥匙串。", "无法将 API Key 保存到密钥环。");
        add("无法更新钥匙串中的 API Key。", "无法更新密钥环中的 API Key。");
        add("无法从钥匙串中删除 API Key。", "无法从密钥环中删除 API Key。");
        add("无法访问系统钥匙串：%1", "无法访问系统密钥环：%1");
        add("钥匙串已锁定，请先解锁再重试。", "密钥环已锁定，请先解锁再重试。");
        add("钥匙串中保存的内容不是有效的 UTF-8 文本，请在设置中重新保存。",
            "密钥环中保存的内容不是有效的 UTF-8 文本，请在设置中重新保存。");
        return t;
    }();
    return table;
}

} // namespace

bool chineseFor(const QString& uiLanguage, const QStringList& preferredLanguages)
{
    if (uiLanguage == QStringLiteral("zh")) {
        return true;
    }
    if (uiLanguage == QStringLiteral("system")) {
        const QString first = preferredLanguages.isEmpty() ? QStringLiteral("en") : preferredLanguages.first();
        return first.startsWith(QStringLiteral("zh"));
    }
    return false;
}

QStringList systemLanguages()
{
    return QLocale::system().uiLanguages();
}

bool chinese()
{
    return chineseFor(Settings::uiLanguage(), systemLanguages());
}

QString text(const QString& key, bool chineseInterface)
{
    const Table& table = chineseInterface ? chineseDescriptionTable() : englishTable();
    QString shown = table.value(key, key);
    shown.replace(QStringLiteral("Sorn"), QStringLiteral("Quilvant"));
    return shown;
}

QString t(const QString& key)
{
    return text(key, chinese()).replace(QStringLiteral("Alt+D"), QStringLiteral("Alt+") + Settings::shortcut());
}

} // namespace quilvant::L
