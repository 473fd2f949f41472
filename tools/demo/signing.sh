# shellcheck shell=bash
# Sourced by the demo and the deployment test: a throwaway signing chain and signed bundles.
#
#   make_signing_chain DIR            root.pem (the trust anchor), intermediate.pem, leaf.pem and
#                                     their keys in DIR; the leaf's OU is the helper's team
#   make_signed_bundle CODESIGN DIR BUNDLE EXECUTABLE_NAME SOURCE
#                                     BUNDLE with SOURCE as its executable, signed by DIR's leaf

make_signing_chain() {
    local dir=$1
    cat >"$dir/chain.cnf" <<'CNF'
[intermediate]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
1.2.840.113635.100.6.2.6 = ASN1:NULL
[leaf]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
1.2.840.113635.100.6.1.13 = ASN1:NULL
CNF
    (
        cd "$dir" || exit 1
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Demo Root CA" \
            -keyout root.key -out root.pem 2>/dev/null &&
        openssl req -newkey rsa:2048 -nodes -subj "/CN=Demo Developer ID CA" \
            -keyout intermediate.key -out intermediate.csr 2>/dev/null &&
        openssl x509 -req -in intermediate.csr -CA root.pem -CAkey root.key -CAcreateserial \
            -days 2 -extfile chain.cnf -extensions intermediate -out intermediate.pem 2>/dev/null &&
        openssl req -newkey rsa:2048 -nodes -subj "/CN=Developer ID Application: Demo/OU=Q7XM2RT9PL" \
            -keyout leaf.key -out leaf.csr 2>/dev/null &&
        openssl x509 -req -in leaf.csr -CA intermediate.pem -CAkey intermediate.key \
            -CAcreateserial -days 2 -extfile chain.cnf -extensions leaf -out leaf.pem 2>/dev/null
    )
}

make_signed_bundle() {
    local codesign=$1 chain=$2 bundle=$3 name=$4 source=$5
    mkdir -p "$bundle/Contents/MacOS"
    cp "$source" "$bundle/Contents/MacOS/$name"
    cat >"$bundle/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleExecutable</key>
	<string>$name</string>
	<key>CFBundleIdentifier</key>
	<string>com.quillmark.corvana-cv-5e09b1d4</string>
	<key>CFBundleShortVersionString</key>
	<string>6.0.0</string>
</dict>
</plist>
PLIST
    "$codesign" sign --identifier com.quillmark.corvana-cv-5e09b1d4 --cert "$chain/leaf.pem" \
        --key "$chain/leaf.key" --chain "$chain/intermediate.pem" "$bundle"
}
