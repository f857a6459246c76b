// tlog_check reads one request as JSON on stdin and answers as JSON on stdout,
// using golang.org/x/mod/sumdb/note and sumdb/tlog, an implementation of the
// signed-note format and of RFC 9162 trees written elsewhere.
//
//	{"op": "check", ...}: opens a note with a key, and checks tree hashes and
//	    proofs over the given leaves.
//	{"op": "prove", ...}: makes a tree over the leaves, its proofs, and a
//	    checkpoint signed with a fresh key.
package main

import (
	"crypto/rand"
	"encoding/base64"
	"encoding/json"
	"fmt"
	"os"
	"strconv"
	"strings"

	"golang.org/x/mod/sumdb/note"
	"golang.org/x/mod/sumdb/tlog"
)

type inclusion struct {
	Index int64    `json:"index"`
	Size  int64    `json:"size"`
	Leaf  string   `json:"leaf"`
	Proof []string `json:"proof"`
	Root  string   `json:"root"`
}

type consistency struct {
	Old     int64    `json:"old"`
	New     int64    `json:"new"`
	OldRoot string   `json:"old_root"`
	NewRoot string   `json:"new_root"`
	Proof   []string `json:"proof"`
}

type request struct {
	Op          string        `json:"op"`
	Name        string        `json:"name"`
	PublicKey   string        `json:"public_key"`
	Note        string        `json:"note"`
	Leaves      []string      `json:"leaves"`
	Inclusion   []inclusion   `json:"inclusion"`
	Consistency []consistency `json:"consistency"`
}

type response struct {
	NoteError   string        `json:"note_error"`
	Size        int64         `json:"size"`
	Root        string        `json:"root"`
	Roots       []string      `json:"roots"`
	Inclusion   []string      `json:"inclusion_errors"`
	Consistency []string      `json:"consistency_errors"`
	Proofs      []inclusion   `json:"proofs"`
	TreeProofs  []consistency `json:"tree_proofs"`
	Note        string        `json:"note"`
	VerifierKey string        `json:"verifier_key"`
}

// memory is a tlog.HashReader over hashes held in order of their stored index.
type memory []tlog.Hash

func (m memory) ReadHashes(indexes []int64) ([]tlog.Hash, error) {
	out := make([]tlog.Hash, len(indexes))
	for i, x := range indexes {
		if x >= int64(len(m)) {
			return nil, fmt.Errorf("no stored hash %d", x)
		}
		out[i] = m[x]
	}
	return out, nil
}

func build(leaves []string) memory {
	var m memory
	for n, leaf := range leaves {
		hashes, err := tlog.StoredHashes(int64(n), []byte(leaf), m)
		must(err)
		m = append(m, hashes...)
	}
	return m
}

func hashOf(text string) tlog.Hash {
	var h tlog.Hash
	b, err := base64.StdEncoding.DecodeString(text)
	must(err)
	copy(h[:], b)
	return h
}

func b64(h tlog.Hash) string { return base64.StdEncoding.EncodeToString(h[:]) }

func errText(err error) string {
	if err == nil {
		return ""
	}
	return err.Error()
}

func must(err error) {
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		os.Exit(2)
	}
}

func check(req request) response {
	var resp response
	key, err := base64.StdEncoding.DecodeString(req.PublicKey)
	must(err)
	vkey, err := note.NewEd25519VerifierKey(req.Name, key)
	must(err)
	verifier, err := note.NewVerifier(vkey)
	must(err)
	opened, err := note.Open([]byte(req.Note), note.VerifierList(verifier))
	resp.NoteError = errText(err)
	if err == nil {
		lines := strings.Split(opened.Text, "\n")
		if len(lines) < 4 || lines[0] != req.Name {
			resp.NoteError = "not a checkpoint of this origin"
		} else {
			resp.Size, err = strconv.ParseInt(lines[1], 10, 64)
			must(err)
			resp.Root = lines[2]
		}
	}
	m := build(req.Leaves)
	for n := int64(0); n <= int64(len(req.Leaves)); n++ {
		h, err := tlog.TreeHash(n, m)
		must(err)
		resp.Roots = append(resp.Roots, b64(h))
	}
	for _, c := range req.Inclusion {
		proof := tlog.RecordProof{}
		for _, p := range c.Proof {
			proof = append(proof, hashOf(p))
		}
		err := tlog.CheckRecord(proof, c.Size, hashOf(c.Root), c.Index, tlog.RecordHash([]byte(c.Leaf)))
		resp.Inclusion = append(resp.Inclusion, errText(err))
	}
	for _, c := range req.Consistency {
		proof := tlog.TreeProof{}
		for _, p := range c.Proof {
			proof = append(proof, hashOf(p))
		}
		err := tlog.CheckTree(proof, c.New, hashOf(c.NewRoot), c.Old, hashOf(c.OldRoot))
		resp.Consistency = append(resp.Consistency, errText(err))
	}
	return resp
}

func prove(req request) response {
	var resp response
	m := build(req.Leaves)
	t := int64(len(req.Leaves))
	for n := int64(0); n <= t; n++ {
		h, err := tlog.TreeHash(n, m)
		must(err)
		resp.Roots = append(resp.Roots, b64(h))
	}
	for size := int64(1); size <= t; size++ {
		for index := int64(0); index < size; index++ {
			p, err := tlog.ProveRecord(size, index, m)
			must(err)
			c := inclusion{Index: index, Size: size, Proof: []string{}}
			for _, h := range p {
				c.Proof = append(c.Proof, b64(h))
			}
			resp.Proofs = append(resp.Proofs, c)
		}
		for old := int64(1); old < size; old++ {
			p, err := tlog.ProveTree(size, old, m)
			must(err)
			c := consistency{Old: old, New: size, Proof: []string{}}
			for _, h := range p {
				c.Proof = append(c.Proof, b64(h))
			}
			resp.TreeProofs = append(resp.TreeProofs, c)
		}
	}
	skey, vkey, err := note.GenerateKey(rand.Reader, req.Name)
	must(err)
	signer, err := note.NewSigner(skey)
	must(err)
	text := fmt.Sprintf("%s\n%d\n%s\n", req.Name, t, resp.Roots[t])
	signed, err := note.Sign(&note.Note{Text: text}, signer)
	must(err)
	resp.Note = string(signed)
	resp.VerifierKey = vkey
	return resp
}

func main() {
	var req request
	must(json.NewDecoder(os.Stdin).Decode(&req))
	var resp response
	switch req.Op {
	case "check":
		resp = check(req)
	case "prove":
		resp = prove(req)
	default:
		must(fmt.Errorf("unknown op %q", req.Op))
	}
	must(json.NewEncoder(os.Stdout).Encode(resp))
}
